#include "download/httpdownloadtask.h"

#include "core/fileutils.h"
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
    if (m_running || n < 0)
        return;
    m_info.threadCount = n;
}

qint64 HttpDownloadTask::computePieceSize(qint64 fileSize, int threadCount)
{
    const float q = float(fileSize) / (float(threadCount) * 10.0f);
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
    m_error = NetworkError();
    m_unstartedPieces.clear();
    m_handedOut.clear();
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
        if (m_log->getTask(m_info.url, stored)) {
            resume();
            return;
        }
        // A kill between making the temporary file and first logging the task leaves a file
        // nothing describes: start over instead of failing on every later start.
        QFile::remove(tmpPath());
    }
    m_info.fileSize = probeFileSize();
    m_info.savePath = filePath();
    m_info.unstartedOffsetIndex = 0;
    m_info.pieces.clear();
    if (m_info.fileSize == -1 || !createTmpFile()) {
        failStart();
        return;
    }
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
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (lastCode != 0 || status < 200 || status > 299)
            continue;
        bool ok = false;
        const qint64 length = reply->rawHeader("Content-Length").toLongLong(&ok);
        if (ok && length >= 0)
            return length;

        // No length in the HEAD answer: the total of a one-byte range names it.
        QNetworkRequest ranged(request);
        ranged.setRawHeader("Range", "bytes=0-0");
        QNetworkReply *get = network.get(ranged);
        connect(get, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
        get->deleteLater();
        static const QRegularExpression re(QStringLiteral("/(\\d+)\\s*$"));
        const auto m = re.match(QString::fromLatin1(get->rawHeader("Content-Range")));
        if (m.hasMatch())
            return m.captured(1).toLongLong();
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
        auto *worker = new HttpDownloadWorker(this, m_info.url, tmpPath(), m_transferTimeoutMs);
        worker->moveToThread(thread);
        connect(thread, &QThread::started, worker, &HttpDownloadWorker::doWork);
        connect(worker, &HttpDownloadWorker::finished, thread, &QThread::quit);
        connect(thread, &QThread::finished, worker, &QObject::deleteLater);
        connect(thread, &QThread::finished, thread, &QObject::deleteLater);
        connect(worker, &HttpDownloadWorker::pieceProgressChanged, this, &HttpDownloadTask::slotPieceProgressChanged, Qt::QueuedConnection);
        connect(worker, &HttpDownloadWorker::pieceFinished, this, &HttpDownloadTask::slotPieceFinished, Qt::QueuedConnection);
        connect(worker, &HttpDownloadWorker::finished, this, &HttpDownloadTask::slotWorkerFinished, Qt::QueuedConnection);
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
    m_log->setUnstartedOffsetIndex(m_info.url, piece->id - 1);
    writeLog();
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
    qDebug() << "Piece Finished: " << pieceID;
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
    if (!QFile::rename(tmpPath(), filePath())) {
        m_error.setErrorString(QStringLiteral("Can't rename download file!"));
        emit error(m_error);
    }
    m_running = false;
    emit finished();
}

void HttpDownloadTask::stopWorkers()
{
    m_stopping = true;
    for (const QPointer<QThread> &thread : qAsConst(m_threads)) {
        if (thread)
            thread->quit();
    }
    // A worker may be blocked in requirePiece on this thread: serve those calls while waiting.
    for (const QPointer<QThread> &thread : qAsConst(m_threads)) {
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
