#include "download/httpdownloadworker.h"

#include "download/httpdownloadtask.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTimer>

#include <sys/mman.h>
#include <unistd.h>

namespace {

// "bytes FROM-TO/TOTAL": FROM and the length of the range, or false when absent or odd. TOTAL
// is -1 when the server names none ("*").
bool parseContentRange(const QByteArray &header, qint64 &from, qint64 &length, qint64 &total)
{
    static const QRegularExpression re(QStringLiteral("^\\s*bytes\\s+(\\d+)-(\\d+)/(\\d+|\\*)"));
    const auto m = re.match(QString::fromLatin1(header));
    if (!m.hasMatch())
        return false;
    bool fromOk = false;
    bool toOk = false;
    bool totalOk = true;
    from = m.captured(1).toLongLong(&fromOk);
    const qint64 to = m.captured(2).toLongLong(&toOk);
    total = m.captured(3) == QLatin1String("*") ? -1 : m.captured(3).toLongLong(&totalOk);
    if (!fromOk || !toOk || !totalOk)
        return false;
    length = to - from + 1;
    return true;
}
}

HttpDownloadWorker::HttpDownloadWorker(HttpDownloadTask *task, const QString &url, const QString &tmpPath,
                                       qint64 fileSize, int transferTimeoutMs)
    : m_url(url), m_tmpPath(tmpPath), m_fileSize(fileSize), m_transferTimeoutMs(transferTimeoutMs), m_task(task)
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
    m_windowSize = 0;
}

// Maps the window of the piece that begins at the file offset (a block boundary of the piece).
bool HttpDownloadWorker::mapWindow(qint64 offset)
{
    releaseMapping();
    const qint64 size = qMin(WindowSize, m_piece.end - offset + 1);
    m_mapped = m_file->map(offset, size);
    if (!m_mapped)
        return false;
    m_windowStart = offset;
    m_windowSize = size;
#ifdef MADV_POPULATE_WRITE
    // One call faults the whole window in, instead of one fault per page while copying.
    const auto page = quintptr(sysconf(_SC_PAGESIZE));
    const quintptr begin = quintptr(m_mapped) & ~(page - 1);
    madvise(reinterpret_cast<void *>(begin), size_t(quintptr(m_mapped) + quintptr(size) - begin), MADV_POPULATE_WRITE);
#endif
    return true;
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
    m_failed = false;
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
    if (!mapWindow(m_piece.start + m_piece.done)) {
        NetworkError e;
        e.setErrorString(QStringLiteral("Map file to memeory failed: ") + QString::number(m_file->error()));
        fail(e);
        return;
    }
    if (!m_network) {
        m_network = new QNetworkAccessManager(this);
        // A piece is fetched from the address asked for only (Qt 6 would follow redirects).
        m_network->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    }
    sendRequest();
}

void HttpDownloadWorker::sendRequest()
{
    if (m_stopped)
        return;
    // One request for the rest of the piece, stored block by block as it arrives: a request per
    // block would cost a round trip per 64 KiB.
    m_requestFrom = m_piece.start + m_piece.done;
    m_requestSize = m_piece.end - m_requestFrom + 1;
    m_copied = m_requestFrom;
    QNetworkRequest request{QUrl(m_url)};
    request.setRawHeader("Range", QStringLiteral("bytes=%0-%1").arg(m_requestFrom).arg(m_piece.end).toLatin1());
    request.setRawHeader("User-Agent", "Kavo.V5");
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(5);
    request.setTransferTimeout(m_transferTimeoutMs);
    m_error = NetworkError();
    m_rangeIgnored = false;
    m_rangeRefused = false;
    m_replyValid = false;
    m_attemptProgress = false;
    m_reply = m_network->get(request);
    m_reply->setReadBufferSize(ReadBufferSize);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &HttpDownloadWorker::checkReplyHeaders);
    connect(m_reply, &QNetworkReply::readyRead, this, &HttpDownloadWorker::storeBlocks);
    connect(m_reply, &QNetworkReply::finished, this, &HttpDownloadWorker::slotReplyFinished, Qt::QueuedConnection);
    connect(m_reply, &QNetworkReply::errorOccurred, this, &HttpDownloadWorker::slotError, Qt::QueuedConnection);
}

void HttpDownloadWorker::checkReplyHeaders()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply || reply != m_reply)
        return;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 200) {
        // The whole file is coming instead of the range. When this piece is the whole file,
        // that is exactly what was asked for, from byte 0; otherwise it is never streamed in.
        bool known = false;
        const qint64 length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        if (m_piece.start == 0 && known && length == m_piece.end + 1 && reply->rawHeader("Content-Encoding").isEmpty()) {
            m_requestFrom = 0;
            m_copied = 0;
            m_replyValid = true;
            storeBlocks();
            return;
        }
        m_rangeIgnored = true;
        reply->abort();
        return;
    }
    qint64 rangeFrom = -1;
    qint64 rangeLength = 0;
    qint64 rangeTotal = -1;
    const bool ranged = parseContentRange(reply->rawHeader("Content-Range"), rangeFrom, rangeLength, rangeTotal);
    // Only the requested bytes, from the requested byte on, are ever stored, and only from a file
    // of the size the download began with: another size is another file, and its bytes would be
    // mixed with the ones already stored.
    m_replyValid = status == 206 && ranged && rangeFrom == m_requestFrom && rangeLength > 0
        && rangeLength <= m_requestSize && (rangeTotal < 0 || rangeTotal == m_fileSize);
    // With a bounded read buffer, bytes that arrived before this verdict must be taken now: the
    // reply sends nothing more until its buffer has room.
    if (m_replyValid) {
        storeBlocks();
    } else if (status == 206) {
        // A refused range is never read, so its reply would stall on its full buffer until the
        // transfer timeout; it ends now and the attempt counts as failed.
        m_rangeRefused = true;
        reply->abort();
    }
}

void HttpDownloadWorker::storeBlocks()
{
    if (!m_reply || !m_replyValid || m_stopped)
        return;
    const qint64 pieceEnd = m_piece.end + 1;
    while (m_copied < pieceEnd) {
        const bool inWindow = m_copied >= m_windowStart && m_copied < m_windowStart + m_windowSize;
        if (!inWindow && !mapWindow(m_copied)) {
            NetworkError e;
            e.setErrorString(QStringLiteral("Map file to memeory failed: ") + QString::number(m_file->error()));
            m_replyValid = false;
            m_reply->disconnect(this);
            m_reply->abort();
            m_reply->deleteLater();
            m_reply = nullptr;
            fail(e);
            return;
        }
        // Ask for up to the window's end even when less has arrived: only a read that empties the
        // reply's buffer tells a reply with a bounded buffer to fetch more.
        const qint64 room = m_windowStart + m_windowSize - m_copied;
        const qint64 got = m_reply->read(reinterpret_cast<char *>(m_mapped + (m_copied - m_windowStart)), room);
        if (got <= 0)
            break;
        m_copied += got;
        if (got < room)
            break;
    }
    // Progress counts whole blocks only (or the piece's last bytes): bytes past the last whole
    // block are fetched again should the connection drop, so no fragment is ever recorded.
    const qint64 copied = m_copied - m_piece.start;
    const qint64 done = m_copied == pieceEnd ? copied : copied - copied % BlockSize;
    if (done <= m_piece.done)
        return;
    m_piece.done = done;
    m_attemptProgress = true;
    // Sent only once the blocks are in the file's mapping; one report for all that arrived together.
    emit pieceProgressChanged(m_piece.id, m_piece.done);
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
    if (reply->error() == QNetworkReply::NoError)
        storeBlocks();
    m_reply = nullptr;
    if (m_failed)
        return;

    if (m_rangeIgnored) {
        NetworkError e;
        e.setErrorString(QStringLiteral("Server ignored the byte range request: ") + m_url);
        fail(e);
        return;
    }
    if (m_piece.isComplete()) {
        emit pieceFinished(m_piece.id);
        doWork();
        return;
    }
    if (m_attemptProgress) {
        // Some blocks arrived before the reply ended: go on from there with fresh attempts.
        m_retriesLeft = Attempts;
        sendRequest();
        return;
    }

    NetworkError attemptError;
    attemptError.setErrorCode(reply->error() != QNetworkReply::NoError && !m_rangeRefused
                                  ? int(reply->error())
                                  : int(QNetworkReply::ProtocolFailure));
    --m_retriesLeft;
    if (m_retriesLeft > 0) {
        QTimer::singleShot(200 * (Attempts - m_retriesLeft), this, &HttpDownloadWorker::sendRequest);
        return;
    }
    fail(attemptError);
}

void HttpDownloadWorker::fail(const NetworkError &e)
{
    m_failed = true;
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
