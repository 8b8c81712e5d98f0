#include "kavofile.h"

#include "core/fileutils.h"
#include "httpuploader.h"
#include "core/messagebox.h"
#include "browser/pageevent.h"

#include "browser/bridgelifetime.h"
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

void KavoFile::setUploadTimeout(int milliseconds)
{
    m_uploadTimeoutMs = milliseconds;
}

void KavoFile::raise(const PageEvent::Event &event)
{
    // A slot that returns from a dialog into a page that has gone tells nobody.
    if (m_window && !BridgeLifetime::isRetired(this))
        m_window->raiseEvent(event);
}

void KavoFile::raiseFailure(const QString &localPath, const QString &error)
{
    raise(PageEvent::fileUploadFailure(localPath, error));
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
    // The message boxes below wait for the user; the page may reload meanwhile.
    const ModalCallGuard guard(this);
    const QString title = QString::fromUtf8(ErrorTitle);
    // The box alone would leave the page waiting for an event that never comes.
    if (picUrl.isEmpty() || uploadUrl.isEmpty() || updateCallBack.isEmpty()) {
        const QString error = QStringLiteral("parameter error");
        showCriticalMessage(title, error);
        raiseFailure(localPathOf(picUrl), error);
        return;
    }
    const QString localPath = localPathOf(picUrl);
    if (localPath.isEmpty() || !QFileInfo::exists(absolutePath(localPath))) {
        const QString error = QStringLiteral("找不到上传文件!");
        showCriticalMessage(title, error);
        raiseFailure(localPath, error);
        return;
    }
    m_progressCallback = updateCallBack;
    m_localPath = localPath;
    m_uploader = new HttpUploader(localPath, uploadUrl, dataFiled, dataType);
    m_uploader->setTransferTimeout(m_uploadTimeoutMs);
    connect(m_uploader, &HttpUploader::finished, this, &KavoFile::replyFinished);
    connect(m_uploader, &HttpUploader::error, this, &KavoFile::upLoadError);
    connect(m_uploader, &HttpUploader::uploadProgress, this, &KavoFile::onUploadProgress);
    if (!m_uploader->start()) {
        // Nothing was sent: the page hears why, and the next upload is not refused as busy.
        const QString error = m_uploader->errorString();
        releaseUploader();
        raiseFailure(m_localPath, error);
    }
}

void KavoFile::onUploadProgress(qint64 bytesSent, qint64 bytesTotal)
{
    // A report without a total tells the page nothing.
    if (sender() != m_uploader || m_progressCallback.isEmpty() || bytesTotal <= 0)
        return;
    if (m_window && !BridgeLifetime::isRetired(this))
        m_window->runScript(m_progressCallback + QStringLiteral("(%1,%2);").arg(bytesSent).arg(bytesTotal));
}

void KavoFile::upLoadError(QNetworkReply::NetworkError errorCode)
{
    if (sender() != m_uploader)
        return;
    // Idle before the page hears it, so a listener can start the next upload at once; the
    // finished signal that follows is then no longer this upload's.
    releaseUploader();
    // Only the transfer timeout aborts a running upload.
    if (errorCode == QNetworkReply::OperationCanceledError)
        errorCode = QNetworkReply::TimeoutError;
    raiseFailure(m_localPath, NetworkError(int(errorCode)).toString());
}

void KavoFile::replyFinished(QNetworkReply *reply)
{
    // A released uploader may still report before its deletion; it is no longer this upload.
    if (sender() != m_uploader)
        return;
    const bool ok = reply->error() == QNetworkReply::NoError;
    releaseUploader();
    if (ok)
        raise(PageEvent::fileUpload(true, m_localPath));
}
