#include "download/httpdownloadtask.h"

#include "core/debuglog.h"
#include "core/fileutils.h"
#include "core/testswitches.h"
#include "download/httpdownloadworker.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTimer>
#include <cmath>
#include <fcntl.h>
#include <utility>

namespace {
constexpr int ProbeAttempts = 3;
constexpr int DefaultThreadCount = 5;
}

HttpDownloadTask::HttpDownloadTask(const QString &url, const QString &targetPath, QObject *parent)
    : DownloadTask(targetPath, parent)
{
    qRegisterMetaType<NetworkError>("NetworkError");
    qRegisterMetaType<FilePiece *>("FilePiece*");
    qRegisterMetaType<bool *>("bool*");
    // Kept as given: on a case-sensitive server another case names another file.
    m_info.url = url;
}

HttpDownloadTask::~HttpDownloadTask()
{
    stopWorkers();
}

void HttpDownloadTask::setThreadCount(int n)
{
    if (m_running)
        return;
    // No connection at all would leave every piece unfetched.
    m_info.threadCount = qMax(1, n);
}

qint64 HttpDownloadTask::computePieceSize(qint64 fileSize, int threadCount)
{
    const float q = float(fileSize) / (float(qMax(1, threadCount)) * 10.0f);
    const qint64 d = qint64(std::ceil(qMax(double(q), 2097152.0)));
    return d + (d % 65536);
}

qint64 HttpDownloadTask::pieceCount(qint64 fileSize, qint64 pieceSize)
{
    return (fileSize + pieceSize - 1) / pieceSize;
}

void HttpDownloadTask::failStart()
{
    emit error(m_error);
    emit finished();
    m_running = false;
}

void HttpDownloadTask::start()
{
    if (m_running)
        return;
    m_running = true;
    m_stopping = false;
    // Workers of an earlier run were stopped without reporting back: none of them counts now.
    ++m_generation;
    m_activeWorkers = 0;
    m_error = NetworkError();
    m_unstartedPieces.clear();
    m_handedOut.clear();
    if (m_info.threadCount < 1)
        m_info.threadCount = DefaultThreadCount;
    // A kill between writing the log beside it and renaming it leaves this behind.
    const QString stalePart = directory() + QStringLiteral("/update.rdl.part");
    if (QFileInfo::exists(stalePart))
        QFile::remove(stalePart);
    m_log = std::make_unique<DownloadTaskLog>(directory() + QStringLiteral("/update.rdl"));
    if (m_log->exists()) {
        QString message;
        if (!m_log->load(message)) {
            m_error.setErrorString(QStringLiteral("Read content update.rdl file failed:") + message);
            failStart();
            return;
        }
    }
    if (QFileInfo::exists(tmpPath())) {
        DownloadTaskInfo stored;
        if (m_log->getTask(m_info.url, stored) && isConsistent(stored)) {
            resume();
            return;
        }
        // A kill between making the temporary file and first logging the task leaves a file
        // nothing describes, and a log that does not describe the pieces this task would make
        // cannot say which bytes are stored: start over instead of trusting either.
        QFile::remove(tmpPath());
        m_log->removeTask(m_info.url);
    }
    // A task still logged for this URL describes a temporary file that is gone (a finished
    // download, or one given up above). It goes before the new file is made: left in the log,
    // a kill before the new task replaces it would let it vouch for the new file's zeros.
    DownloadTaskInfo stale;
    if (m_log->getTask(m_info.url, stale)) {
        m_log->removeTask(m_info.url);
        if (!m_log->save()) {
            m_error.setErrorString(QStringLiteral("Write downloadLog file failed!"));
            failStart();
            return;
        }
    }
    m_info.fileSize = probeFileSize();
    m_info.savePath = filePath();
    m_info.unstartedOffsetIndex = 0;
    m_info.pieces.clear();
    if (m_info.fileSize == -1 || !createTmpFile()) {
        failStart();
        return;
    }
    testKillPoint("created");
    m_log->addTask(m_info);
    if (!m_log->save()) {
        m_error.setErrorString(QStringLiteral("Write downloadLog file failed!"));
        failStart();
        QFile::remove(tmpPath());
        return;
    }
    startWorkers();
}

void HttpDownloadTask::resume()
{
    DownloadTaskInfo stored;
    if (!m_log->getTask(m_info.url, stored)) {
        m_error.setErrorString(QStringLiteral("Read download log error!"));
        failStart();
        return;
    }
    const int callerCount = m_info.threadCount;
    m_info = stored;
    // A broken count in the log must never leave the task without workers.
    if (m_info.threadCount <= 0)
        m_info.threadCount = callerCount > 0 ? callerCount : DefaultThreadCount;
    const qint64 probed = probeFileSize();
    if (probed == m_info.fileSize && m_info.savePath == filePath()) {
        m_unstartedPieces.append(m_info.pieces);
        startWorkers();
        return;
    }
    if (probed != -1)
        m_error.setErrorString(QStringLiteral("Resume assert fileSize or path failed!"));
    failStart();
}

bool HttpDownloadTask::isConsistent(const DownloadTaskInfo &task) const
{
    // Blocks are stored through a mapping of the temporary file: one shorter than the file would
    // fault the process on the first byte past its end, and one longer would become a longer file.
    if (task.fileSize < 0 || QFileInfo(tmpPath()).size() != task.fileSize)
        return false;
    const int threads = task.threadCount > 0 ? task.threadCount : m_info.threadCount;
    const qint64 size = computePieceSize(task.fileSize, threads);
    const qint64 n = pieceCount(task.fileSize, size);
    if (task.unstartedOffsetIndex < 0 || task.unstartedOffsetIndex > n)
        return false;
    // Only a piece handed out is listed, and handing one out moves the index to it (or, in logs
    // that count from zero, to just before it): a piece further on was never handed out.
    for (const FilePiece &piece : task.pieces) {
        const qint64 start = (piece.id - 1) * size;
        const qint64 end = piece.id == n ? task.fileSize - 1 : piece.id * size - 1;
        if (piece.id < 1 || piece.id > n || piece.id > qint64(task.unstartedOffsetIndex) + 1
            || piece.start != start || piece.end != end || piece.done < 0 || piece.done > end - start + 1)
            return false;
    }
    return true;
}

bool HttpDownloadTask::everyRangeFetched() const
{
    DownloadTaskInfo task;
    if (!m_log || !m_log->getTask(m_info.url, task))
        return false;
    const qint64 n = pieceCount(m_info.fileSize, computePieceSize(m_info.fileSize, m_info.threadCount));
    return task.pieces.isEmpty() && task.unstartedOffsetIndex >= n && m_unstartedPieces.isEmpty()
        && m_handedOut.isEmpty();
}

namespace {
bool isRefusedMethod(QNetworkReply *reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return status == 403 || status == 405 || reply->error() == QNetworkReply::ContentAccessDenied
        || reply->error() == QNetworkReply::ContentOperationNotPermittedError;
}
}

// The size from a GET of byte 0: the total of its Content-Range, or the length of a whole body
// when the server ignores Range. The reply is aborted as soon as its headers are in, so a body
// is never held.
qint64 HttpDownloadTask::probeByRange(QNetworkAccessManager &network, const QNetworkRequest &request, int &lastCode)
{
    QNetworkRequest ranged(request);
    ranged.setRawHeader("Range", "bytes=0-0");
    QEventLoop loop;
    QNetworkReply *get = network.get(ranged);
    get->setReadBufferSize(HttpDownloadWorker::BlockSize);
    int status = 0;
    QByteArray contentRange;
    QByteArray contentLength;
    connect(get, &QNetworkReply::metaDataChanged, &loop, [&] {
        const int code = get->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (code >= 300 && code < 400)
            return;
        status = code;
        contentRange = get->rawHeader("Content-Range");
        contentLength = get->rawHeader("Content-Length");
        if (status == 200 || status == 206)
            get->abort();
    });
    connect(get, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!get->isFinished())
        loop.exec();
    lastCode = (status == 200 || status == 206) ? 0 : int(get->error());
    get->deleteLater();
    if (status == 206) {
        static const QRegularExpression re(QStringLiteral("/(\\d+)\\s*$"));
        const auto m = re.match(QString::fromLatin1(contentRange));
        bool ok = false;
        // A total too large for a file size is no size: taken as 0, it made an empty download whole.
        const qint64 total = m.hasMatch() ? m.captured(1).toLongLong(&ok) : -1;
        if (ok)
            return total;
    } else if (status == 200) {
        bool ok = false;
        const qint64 length = contentLength.trimmed().toLongLong(&ok);
        if (ok && length >= 0)
            return length;
    }
    return -1;
}

qint64 HttpDownloadTask::probeFileSize()
{
    QNetworkAccessManager network;
    QNetworkRequest request{QUrl(m_info.url)};
    request.setRawHeader("User-Agent", "Kavo.V5");
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(5);
    request.setTransferTimeout(m_transferTimeoutMs);
    int lastCode = 0;
    for (int attempt = 0; attempt < ProbeAttempts; ++attempt) {
        QEventLoop loop;
        QNetworkReply *reply = network.head(request);
        connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
        reply->deleteLater();
        lastCode = reply->error();
        if (isRefusedMethod(reply)) {
            // Servers that sign URLs for GET alone refuse HEAD: a GET of byte 0 names the size.
            const qint64 length = probeByRange(network, request, lastCode);
            if (length >= 0)
                return length;
            if (lastCode == 0) {
                m_error.setErrorString(QStringLiteral("GetFileLength contentLength covert failed!"));
                return -1;
            }
            continue;
        }
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (lastCode != 0 || status < 200 || status > 299)
            continue;
        bool ok = false;
        const qint64 length = reply->rawHeader("Content-Length").toLongLong(&ok);
        if (ok && length >= 0)
            return length;

        // No length in the HEAD answer: the total of a one-byte range names it.
        int rangeCode = 0;
        const qint64 ranged = probeByRange(network, request, rangeCode);
        if (ranged >= 0)
            return ranged;
        m_error.setErrorString(QStringLiteral("GetFileLength contentLength covert failed!"));
        return -1;
    }
    if (lastCode != 0)
        m_error.setErrorCode(lastCode);
    else
        m_error.setErrorString(QStringLiteral("call getFileSize failed!"));
    return -1;
}

bool HttpDownloadTask::createTmpFile()
{
    const QString path = absolutePath(tmpPath());
    bool ok = !path.isEmpty() && !QFileInfo(path).isDir();
    if (ok)
        ok = QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (ok)
        ok = file.open(QIODevice::ReadWrite);
    // A real allocation up front: a full disk is an error now, never a SIGBUS in a mapping later.
    if (ok && m_info.fileSize >= 1)
        ok = posix_fallocate(file.handle(), 0, m_info.fileSize) == 0;
    if (file.isOpen())
        file.close();
    if (!ok) {
        if (QFileInfo::exists(path))
            QFile::remove(path);
        m_error.setErrorString(QStringLiteral("Can't Download Create File!"));
    }
    return ok;
}

void HttpDownloadTask::createPieces()
{
    m_pieceSize = computePieceSize(m_info.fileSize, m_info.threadCount);
    const qint64 n = pieceCount(m_info.fileSize, m_pieceSize);
    for (qint64 k = m_info.unstartedOffsetIndex; k < n; ++k) {
        const int id = int(k + 1);
        if (m_unstartedPieces.contains(FilePiece(id, 0, 0, 0)))
            continue;
        const qint64 end = (id == n) ? m_info.fileSize - 1 : (k + 1) * m_pieceSize - 1;
        m_unstartedPieces.append(FilePiece(id, k * m_pieceSize, end, 0));
    }
}

void HttpDownloadTask::startWorkers()
{
    createPieces();
    const int m = qMin(m_unstartedPieces.size(), m_info.threadCount);
    if (m == 0) {
        // Nothing left to fetch (a 0-byte file, or every piece already stored).
        QTimer::singleShot(0, this, &HttpDownloadTask::complete);
        return;
    }
    for (int i = 0; i < m; ++i) {
        auto *thread = new QThread(this);
        auto *worker = new HttpDownloadWorker(this, m_info.url, tmpPath(), m_info.fileSize, m_transferTimeoutMs);
        worker->moveToThread(thread);
        connect(thread, &QThread::started, worker, &HttpDownloadWorker::doWork);
        connect(worker, &HttpDownloadWorker::finished, thread, &QThread::quit);
        connect(thread, &QThread::finished, worker, &QObject::deleteLater);
        connect(thread, &QThread::finished, thread, &QObject::deleteLater);
        connect(worker, &HttpDownloadWorker::pieceProgressChanged, this, &HttpDownloadTask::slotPieceProgressChanged, Qt::QueuedConnection);
        connect(worker, &HttpDownloadWorker::pieceFinished, this, &HttpDownloadTask::slotPieceFinished, Qt::QueuedConnection);
        const int generation = m_generation;
        connect(worker, &HttpDownloadWorker::finished, this, [this, generation] { workerFinished(generation); },
                Qt::QueuedConnection);
        connect(worker, &HttpDownloadWorker::error, this, &HttpDownloadTask::slotError, Qt::QueuedConnection);
        m_threads.append(thread);
        ++m_activeWorkers;
        thread->start(QThread::InheritPriority);
    }
}

void HttpDownloadTask::writeLog()
{
    m_progressWritePending = false;
    m_log->save();
}

void HttpDownloadTask::requirePiece(bool *bSucess, FilePiece *piece)
{
    QMutexLocker locker(&m_mutex);
    *bSucess = !m_stopping && !m_unstartedPieces.isEmpty();
    if (!*bSucess) {
        piece->reset();
        return;
    }
    *piece = m_unstartedPieces.takeFirst();
    m_handedOut.insert(piece->id, *piece);
    QWriteLocker logLocker(&m_logLock);
    m_log->setPiece(m_info.url, *piece);
    // The index of the first piece never handed out: every piece before it is either finished
    // or still listed with its progress, which is what lets the end tell a complete file.
    m_log->setUnstartedOffsetIndex(m_info.url, qMax(m_log->unstartedOffsetIndex(m_info.url), piece->id));
    writeLog();
    if (m_unstartedPieces.isEmpty())
        testKillPoint("lastpiece");
}

void HttpDownloadTask::slotPieceProgressChanged(int pieceId, qint64 doneBytes)
{
    QMutexLocker locker(&m_mutex);
    QWriteLocker logLocker(&m_logLock);
    if (!m_log)
        return;
    if (m_handedOut.contains(pieceId))
        m_handedOut[pieceId].done = doneBytes;
    m_log->setPieceDone(m_info.url, pieceId, doneBytes);
    // Every block queued by then goes into one write: the workers outpace a rewrite per block.
    if (!m_progressWritePending) {
        m_progressWritePending = true;
        QTimer::singleShot(0, this, &HttpDownloadTask::writePendingProgress);
    }
}

void HttpDownloadTask::writePendingProgress()
{
    QMutexLocker locker(&m_mutex);
    QWriteLocker logLocker(&m_logLock);
    if (!m_progressWritePending || !m_log)
        return;
    m_progressWritePending = false;
    writeLog();
}

void HttpDownloadTask::slotPieceFinished(int pieceID)
{
    QMutexLocker locker(&m_mutex);
    QWriteLocker logLocker(&m_logLock);
    if (!m_log)
        return;
    // A worker that gave up reports its piece as well: its unfetched bytes stay in the log.
    const auto it = m_handedOut.constFind(pieceID);
    if (it == m_handedOut.constEnd() || !it->isComplete())
        return;
    qCDebug(lcDownload) << "Piece Finished: " << pieceID;
    m_handedOut.remove(pieceID);
    m_log->removePiece(m_info.url, pieceID);
    writeLog();
}

void HttpDownloadTask::slotError(NetworkError errorInfo)
{
    m_error = errorInfo;
}

void HttpDownloadTask::slotWorkerFinished()
{
    workerFinished(m_generation);
}

void HttpDownloadTask::workerFinished(int generation)
{
    if (generation != m_generation)
        return;
    --m_activeWorkers;
    if (!m_running)
        return;
    if (m_error.hasError()) {
        stop();
        emit error(m_error);
        emit finished();
        return;
    }
    if (m_activeWorkers > 0)
        return;
    complete();
}

void HttpDownloadTask::complete()
{
    if (!m_running || m_stopping)
        return;
    stopWorkers();
    // Only a file whose every byte range the log records as fetched becomes the target.
    bool fetched = false;
    {
        QMutexLocker locker(&m_mutex);
        QReadLocker logLocker(&m_logLock);
        fetched = everyRangeFetched();
    }
    if (!fetched) {
        m_error.setErrorString(QStringLiteral("Download incomplete: not every byte range was fetched!"));
        emit error(m_error);
    } else if (testKillPoint("rename"), !QFile::rename(tmpPath(), filePath())) {
        m_error.setErrorString(QStringLiteral("Can't rename download file!"));
        emit error(m_error);
    }
    m_running = false;
    emit finished();
}

void HttpDownloadTask::stopWorkers()
{
    m_stopping = true;
    // Stopped workers end with their threads and never report: a later start counts afresh.
    ++m_generation;
    m_activeWorkers = 0;
    for (const QPointer<QThread> &thread : std::as_const(m_threads)) {
        if (thread)
            thread->quit();
    }
    // A worker may be blocked in requirePiece on this thread: serve those calls while waiting.
    for (const QPointer<QThread> &thread : std::as_const(m_threads)) {
        while (thread && !thread->wait(10))
            QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    }
    m_threads.clear();
}

void HttpDownloadTask::stop()
{
    m_running = false;
    stopWorkers();
    writePendingProgress();
}
