#include "kavocamera.h"

#include "core/messagebox.h"
#include "browser/pageevent.h"
#include "picturecache.h"
#include "screengrab.h"

#include "browser/bridgelifetime.h"
#include "browser/browserwindow.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>

namespace {
// The one open grab of the process; QPointer forgets it however the window ends.
QPointer<ScreenGrab> openGrab;
KavoCamera::FileChooser fileChooser;

const char *const ErrorTitle = "错误";

QString chooseFile(const QString &caption, const QString &folder, const QString &filter)
{
    if (fileChooser)
        return fileChooser(caption, folder, filter);
    return QFileDialog::getOpenFileName(nullptr, caption, folder, filter);
}
} // namespace

void KavoCamera::setFileChooser(const FileChooser &chooser)
{
    fileChooser = chooser;
}

ScreenGrab *KavoCamera::openScreenGrab()
{
    return openGrab.data();
}

KavoCamera::KavoCamera(BrowserWindow *window)
    : QObject(nullptr)
    , m_window(window)
{
}

KavoCamera::~KavoCamera()
{
    if (openGrab && openGrab->property("kavoCamera").value<QObject *>() == this) {
        ScreenGrab *grab = openGrab;
        openGrab = nullptr;
        grab->disconnect(this);
        grab->hide();
        grab->deleteLater();
    }
}

void KavoCamera::raise(const PageEvent::Event &event)
{
    // A slot that returns from a dialog into a page that has gone tells nobody.
    if (m_window && !BridgeLifetime::isRetired(this))
        m_window->raiseEvent(event);
}

void KavoCamera::takePicture(int quality, bool bSaveToLib, const QString &picType)
{
    Q_UNUSED(quality)
    Q_UNUSED(bSaveToLib)
    Q_UNUSED(picType)
    if (openGrab) {
        raise(PageEvent::cameraPictureBusy());
        return;
    }
    m_pictureType = QStringLiteral("png");
    auto *grab = new ScreenGrab;
    grab->setProperty("kavoCamera", QVariant::fromValue<QObject *>(this));
    openGrab = grab;
    connect(grab, &ScreenGrab::grabFinished, this, &KavoCamera::onScreenGrabFinished);
    connect(grab, &ScreenGrab::grabCanceled, this, &KavoCamera::onScreenGrabCanceled);
    grab->show();
    grab->activateWindow();
}

void KavoCamera::forgetGrab()
{
    ScreenGrab *grab = openGrab;
    openGrab = nullptr;
    if (grab) {
        grab->hide();
        grab->deleteLater();
    }
}

void KavoCamera::onScreenGrabFinished(const QPixmap &pix)
{
    if (!openGrab || sender() != openGrab)
        return;
    const PictureCache cache;
    const QString name = cache.nextName(m_pictureType);
    const bool saved = cache.save(pix.toImage(), name, m_pictureType.toLatin1().constData(), m_compressQuality);
    // Idle before the page hears it, so a listener can take the next picture at once.
    forgetGrab();
    raise(PageEvent::cameraPictureAdd(saved, name));
}

void KavoCamera::onScreenGrabCanceled()
{
    if (!openGrab || sender() != openGrab)
        return;
    forgetGrab();
    raise(PageEvent::cameraPictureCancel());
}

void KavoCamera::setCompressParams(int cpsWidth, int cpsHeight, int cpsQulity)
{
    if (cpsWidth <= 0 || cpsHeight <= 0)
        return;
    m_compressSize = QSize(cpsWidth, cpsHeight);
    m_compressQuality = cpsQulity;
}

void KavoCamera::importPicture()
{
    // The file dialog waits for the user; the page may reload meanwhile.
    const ModalCallGuard guard(this);
    QString folder = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QFileInfo(QStringLiteral("C:/Users/Public/Pictures")).isDir() ? QStringLiteral("C:/Users/Public/Pictures")
                                                                                 : QString();
    const QString path = chooseFile(QStringLiteral("图片"), folder, QStringLiteral("图片(*.jpg *.gif *.png)"));
    if (BridgeLifetime::isRetired(this))
        return;
    if (path.isEmpty()) {
        raise(PageEvent::cameraPictureCancel());
        return;
    }
    // The suffix of the file name: a dot in a folder name is no suffix.
    if (!QFileInfo(path).fileName().contains(QLatin1Char('.'))) {
        raise(PageEvent::cameraPictureAdd(false, path));
        return;
    }
    const PictureCache cache;
    QString name;
    const bool saved = cache.import(path, m_compressSize, m_compressQuality, &name);
    raise(PageEvent::cameraPictureAdd(saved, name));
}

void KavoCamera::rotatePicture(const QString &picUrl, float angle)
{
    const ModalCallGuard guard(this);
    const PictureCache cache;
    const QString path = cache.resolve(picUrl);
    const QString title = QString::fromUtf8(ErrorTitle);
    switch (cache.rotate(path, angle, m_compressQuality)) {
    case PictureCache::Rotated:
        break;
    case PictureCache::NotFound:
        showCriticalMessage(title, QStringLiteral("找不到指定的图片文件: ") + picUrl);
        break;
    case PictureCache::Unreadable:
        showCriticalMessage(title, QStringLiteral("无法读取图片文件: ") + picUrl);
        break;
    case PictureCache::SaveFailed:
        showCriticalMessage(title, QStringLiteral("保存文件失败:") + path);
        break;
    }
}

void KavoCamera::clearPictures()
{
    PictureCache().clear();
    raise(PageEvent::cameraPictureClear());
}
