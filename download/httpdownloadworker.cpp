#include "download/httpdownloadworker.h"

#include "download/httpdownloadtask.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTimer>

namespace {
constexpr int TransferTimeoutMs = 30000;

// "bytes FROM-TO/TOTAL": FROM and the length of the range, or false when absent or odd.
bool parseContentRange(const QByteArray &header, qint64 &from, qint64 &length)
{
    static const QRegularExpression re(QStringLiteral("^\\s*bytes\\s+(\\d+)-(\\d+)/"));
    const auto m = re.match(QString::fromLatin1(header));
    if (!m.hasMatch())
        return false;
    from = m.captured(1).toLongLong();
    length = m.captured(2).toLongLong() - from + 1;
    return true;
}
}

HttpDownloadWorker::HttpDownloadWorker(HttpDownloadTask *task, const QString &url, const QString &tmpPath)
    : m_url(url), m_tmpPath(tmpPath), m_task(task)
{
}

HttpDownloadWorker::~HttpDownloadWorker()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        delete m_reply;
    }
    releaseMapping();
    closeFile();
}

void HttpDownloadWorker::releaseMapping()
{
    if (m_mapped && m_file)
        m_file->unmap(m_mapped);
    m_mapped = nullptr;
}

void HttpDownloadWorker::closeFile()
{
    releaseMapping();
    if (m_file)
        m_file->close();
}

void HttpDownloadWorker::doWork()
{
    if (m_stopped)
        return;
    releaseMapping();
    m_piece.reset();
    m_retriesLeft = Attempts;
    bool gotPiece = false;
    FilePiece piece;
    QMetaObject::invokeMethod(m_task, "requirePiece", Qt::BlockingQueuedConnection,
                              Q_ARG(bool *, &gotPiece), Q_ARG(FilePiece *, &piece));
    if (!gotPiece) {
        closeFile();
        emit finished();
        return;
    }
    m_piece = piece;
    if (m_piece.isComplete()) {
        // A kill between the progress write and the finished write leaves a complete piece.
        emit pieceFinished(m_piece.id);
        QTimer::singleShot(0, this, &HttpDownloadWorker::doWork);
        return;
    }
    if (!m_file)
        m_file = std::make_unique<QFile>(m_tmpPath);
    if (!m_file->exists() || (!m_file->isOpen() && !m_file->open(QIODevice::ReadWrite))) {
        NetworkError e;
        e.setErrorString(QStringLiteral("Can't not open the download file: ") + m_tmpPath);
        fail(e);
        return;
    }
    m_mapped = m_file->map(m_piece.start, m_piece.size());
    if (!m_mapped) {
        NetworkError e;
        e.setErrorString(QStringLiteral("Map file to memeory failed: ") + QString::number(m_file->error()));
        fail(e);
        return;
    }
    if (!m_network)
        m_network = new QNetworkAccessManager(this);
    sendRequest();
}

void HttpDownloadWorker::sendRequest()
{
    if (m_stopped)
        return;
    const qint64 remaining = m_piece.end - m_piece.start - m_piece.done + 1;
    m_requestSize = qMin(remaining, BlockSize);
    m_requestFrom = m_piece.start + m_piece.done;
    const qint64 to = m_requestFrom + m_requestSize - 1;
    QNetworkRequest request{QUrl(m_url)};
    request.setRawHeader("Range", QStringLiteral("bytes=%0-%1").arg(m_requestFrom).arg(to).toLatin1());
    request.setRawHeader("User-Agent", "Kavo.V5");
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(5);
    request.setTransferTimeout(TransferTimeoutMs);
    m_error = NetworkError();
    m_rangeIgnored = false;
    m_reply = m_network->get(request);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &HttpDownloadWorker::checkReplyHeaders);
    connect(m_reply, &QNetworkReply::finished, this, &HttpDownloadWorker::slotReplyFinished, Qt::QueuedConnection);
    connect(m_reply, &QNetworkReply::errorOccurred, this, &HttpDownloadWorker::slotError, Qt::QueuedConnection);
}

void HttpDownloadWorker::checkReplyHeaders()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 200) {
        // The whole file is coming instead of the range: never stream it in.
        m_rangeIgnored = true;
        reply->abort();
    }
}

void HttpDownloadWorker::slotError(QNetworkReply::NetworkError code)
{
    // Only recorded; the reply's finished handler decides with the reply's own error.
    m_error.setErrorCode(code);
}

void HttpDownloadWorker::slotReplyFinished()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    if (reply != m_reply || m_stopped)
        return;
    m_reply = nullptr;

    if (m_rangeIgnored) {
        NetworkError e;
        e.setErrorString(QStringLiteral("Server ignored the byte range request: ") + m_url);
        fail(e);
        return;
    }

    NetworkError attemptError;
    const QByteArray body = reply->readAll();
    if (reply->error() != QNetworkReply::NoError) {
        attemptError.setErrorCode(reply->error());
    } else {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        qint64 rangeFrom = -1;
        qint64 rangeLength = 0;
        const bool ranged = parseContentRange(reply->rawHeader("Content-Range"), rangeFrom, rangeLength);
        // A short body (a dropped connection) or one past the range is never stored.
        if (status != 206 || !ranged || rangeFrom != m_requestFrom || body.isEmpty()
            || body.size() > m_requestSize || body.size() != rangeLength)
            attemptError.setErrorCode(QNetworkReply::ProtocolFailure);
    }

    if (!attemptError.hasError()) {
        m_retriesLeft = Attempts;
        memcpy(m_mapped + m_piece.done, body.constData(), size_t(body.size()));
        m_piece.done += body.size();
        emit pieceProgressChanged(m_piece.id, m_piece.done);
        if (m_piece.isComplete()) {
            emit pieceFinished(m_piece.id);
            doWork();
        } else {
            sendRequest();
        }
        return;
    }

    --m_retriesLeft;
    if (m_retriesLeft > 0) {
        QTimer::singleShot(200 * (Attempts - m_retriesLeft), this, &HttpDownloadWorker::sendRequest);
        return;
    }
    fail(attemptError);
}

void HttpDownloadWorker::fail(const NetworkError &e)
{
    m_error = e;
    closeFile();
    emit error(m_error);
    emit pieceFinished(m_piece.id);
    emit finished();
}

void HttpDownloadWorker::stop()
{
    m_stopped = true;
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
        m_reply = nullptr;
    }
    closeFile();
    emit finished();
}
