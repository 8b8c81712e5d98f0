#pragma once

#include "browser/pageevent.h"

#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>

class BrowserWindow;
class HttpUploader;

// Sends one local file to a web server as a multipart POST, one upload at a time; progress goes
// to a page function, the outcome to "kavo.file.upload" (exactly one event per accepted upload).
class KavoFile : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(KavoFile)
public:
    explicit KavoFile(BrowserWindow *window);
    ~KavoFile() override;

    enum { DefaultUploadTimeoutMs = 60000 };

    bool isBusy() const { return m_uploader != nullptr; }
    // Time without progress after which an upload fails (a server that takes the file and
    // never answers).
    void setUploadTimeout(int milliseconds);
    // The local file a picture URL names: a file: URL its local path, an http(s) URL (the local
    // server's) its path relative to the program's directory, anything else the text as a path.
    static QString localPathOf(const QString &picUrl);

public slots:
    void uploadToServer(const QString &picUrl, const QString &uploadUrl, const QString &dataFiled,
                        const QString &dataType, const QString &updateCallBack);

private slots:
    void replyFinished(QNetworkReply *reply);
    void upLoadError(QNetworkReply::NetworkError errorCode);
    void onUploadProgress(qint64 bytesSent, qint64 bytesTotal);

private:
    void raise(const PageEvent::Event &event);
    void raiseFailure(const QString &localPath, const QString &error);
    void releaseUploader();

    HttpUploader *m_uploader = nullptr;
    QPointer<BrowserWindow> m_window;
    QString m_progressCallback;
    QString m_localPath;
    int m_uploadTimeoutMs = DefaultUploadTimeoutMs;
};
