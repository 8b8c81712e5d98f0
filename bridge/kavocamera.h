#pragma once

#include "browser/pageevent.h"

#include <QObject>
#include <QPixmap>
#include <QPointer>
#include <QSize>

#include <functional>

class BrowserWindow;
class ScreenGrab;

// Gives the page pictures: a screen rectangle the user picks, or a picture file the user chooses,
// stored in the picture cache and announced with "kavo.camera.picture.add" (and appended to
// Kavo.picturelist). At most one screen grab is open in the process at a time.
class KavoCamera : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(KavoCamera)
public:
    // The open-file dialog: (caption, folder, filter) -> chosen path or empty.
    using FileChooser = std::function<QString(const QString &, const QString &, const QString &)>;
    // Replaces the dialog (tests, unattended runs); an empty chooser restores the dialog.
    static void setFileChooser(const FileChooser &chooser);

    explicit KavoCamera(BrowserWindow *window);
    // Closes a screen grab this camera opened, so it cannot stay behind without a listener.
    ~KavoCamera() override;

    static ScreenGrab *openScreenGrab();
    QSize compressSize() const { return m_compressSize; }
    int compressQuality() const { return m_compressQuality; }
    QString pictureType() const { return m_pictureType; }

public slots:
    void importPicture();
    void takePicture(int quality, bool bSaveToLib, const QString &picType);
    void setCompressParams(int cpsWidth, int cpsHeight, int cpsQulity);
    void rotatePicture(const QString &picUrl, float angle);
    void clearPictures();

private slots:
    void onScreenGrabFinished(const QPixmap &pix);
    void onScreenGrabCanceled();

private:
    void raise(const PageEvent::Event &event);
    void forgetGrab();

    QPointer<BrowserWindow> m_window;
    QString m_pictureType = QStringLiteral("png");
    QSize m_compressSize = QSize(800, 600);
    int m_compressQuality = 55;
};
