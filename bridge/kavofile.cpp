#include "kavofile.h"

#include "core/fileutils.h"
#include "httpuploader.h"
#include "core/messagebox.h"
#include "browser/pageevent.h"

#include "browser/browserwindow.h"
#include "network/networkerror.h"

#include <QFileInfo>
#include <QUrl>

namespace {
const char *const ErrorTitle = "错误";
}

KavoFile::KavoFile(BrowserWindow *window)
    : QObject(nullptr)
    , m_window(window)
{
}

KavoFile::~KavoFile()
{
    // Ends a post still in flight together with its manager.
    delete m_uploader;
}

QString KavoFile::localPathOf(const QString &picUrl)
{
    const QUrl url(picUrl);
    if (url.isLocalFile())
        return url.toLocalFile();
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("http") || scheme == QLatin1String("https")) {
        QString path = url.path(QUrl::FullyDecoded);
        if (path.startsWith(QLatin1Char('/')))
            path.remove(0, 1);
        return path;
    }
    return picUrl;
}

void KavoFile::raise(const QString &script)
{
    if (m_window)
        m_window->evaluateScript(script, QVariant());
}

void KavoFile::raiseFailure(const QString &error)
{
    raise(PageEvent::compose(QStringLiteral("var e = document.createEvent('Events');e.initEvent('kavo.file.upload',"
                                            "true,true);e.success=false;e.localURL='%1';e.error='%2';"
                                            "document.dispatchEvent(e);"),
                             {m_localPath, error}));
}

void KavoFile::releaseUploader()
{
    if (m_uploader)
        m_uploader->deleteLater();
    m_uploader = nullptr;
}

void KavoFile::uploadToServer(const QString &picUrl, const QString &uploadUrl, const QString &dataFiled,
                              const QString &dataType, const QString &updateCallBack)
{
    if (m_uploader) {
        raise(PageEvent::fileUploadBusy());
        return;
    }
    const QString title = QString::fromUtf8(ErrorTitle);
    if (picUrl.isEmpty() || uploadUrl.isEmpty() || updateCallBack.isEmpty()) {
        showCriticalMessage(title, QStringLiteral("parameter error"));
        return;
    }
    const QString localPath = localPathOf(picUrl);
    if (localPath.isEmpty() || !QFileInfo::exists(absolutePath(localPath))) {
        showCriticalMessage(title, QStringLiteral("找不到上传文件!"));
        return;
    }
    m_progressCallback = updateCallBack;
    m_localPath = localPath;
    m_uploader = new HttpUploader(localPath, uploadUrl, dataFiled, dataType);
    connect(m_uploader, &HttpUploader::finished, this, &KavoFile::replyFinished);
    connect(m_uploader, &HttpUploader::error, this, &KavoFile::upLoadError);
    connect(m_uploader, &HttpUploader::uploadProgress, this, &KavoFile::onUploadProgress);
    if (!m_uploader->start()) {
        // Nothing was sent: the page hears why, and the next upload is not refused as busy.
        const QString error = m_uploader->errorString();
        releaseUploader();
        raiseFailure(error);
    }
}

void KavoFile::onUploadProgress(qint64 bytesSent, qint64 bytesTotal)
{
    // A report without a total tells the page nothing.
    if (sender() != m_uploader || m_progressCallback.isEmpty() || bytesTotal <= 0)
        return;
    raise(m_progressCallback + QStringLiteral("(%1,%2);").arg(bytesSent).arg(bytesTotal));
}

void KavoFile::upLoadError(QNetworkReply::NetworkError errorCode)
{
    if (sender() != m_uploader)
        return;
    raiseFailure(NetworkError(int(errorCode)).toString());
}

void KavoFile::replyFinished(QNetworkReply *reply)
{
    // A released uploader may still report before its deletion; it is no longer this upload.
    if (sender() != m_uploader)
        return;
    if (reply->error() == QNetworkReply::NoError)
        raise(PageEvent::fileUpload(true, m_localPath));
    releaseUploader();
}
