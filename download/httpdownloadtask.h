#pragma once

#include "download/downloadtask.h"
#include "download/downloadtaskinfo.h"
#include "download/downloadtasklog.h"
#include "network/networkerror.h"

#include <QHash>
#include <QList>
#include <QMutex>
#include <QPointer>
#include <QReadWriteLock>
#include <QThread>
#include <atomic>
#include <memory>

class HttpDownloadWorker;
class QNetworkAccessManager;
class QNetworkRequest;

// One HTTP download over several connections, one thread each, into a pre-sized temporary file
// (target + ".lrdl") renamed when complete. Progress goes to "update.rdl" beside the target after
// every block, so a later start resumes from it. Lock order is always m_mutex before m_logLock.
class HttpDownloadTask : public DownloadTask
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpDownloadTask)
public:
    HttpDownloadTask(const QString &url, const QString &targetPath, QObject *parent = nullptr);
    ~HttpDownloadTask() override;

    void start() override;
    void stop() override;
    void setThreadCount(int n);
    // How long a request may go without a byte before it counts as failed (30 s by default).
    void setTransferTimeout(int ms) { m_transferTimeoutMs = ms; }

    QString url() const { return m_info.url; }
    NetworkError lastError() const { return m_error; }
    QString tmpPath() const { return filePath() + QStringLiteral(".lrdl"); }

    static qint64 computePieceSize(qint64 fileSize, int threadCount);
    static qint64 pieceCount(qint64 fileSize, qint64 pieceSize);

    Q_INVOKABLE void requirePiece(bool *bSucess, FilePiece *piece);

signals:
    void finished();
    void error(NetworkError errorInfo);

public slots:
    void slotWorkerFinished();
    void slotPieceFinished(int pieceID);
    void slotError(NetworkError errorInfo);
    void slotPieceProgressChanged(int pieceId, qint64 doneBytes);

private:
    void resume();
    void workerFinished(int generation);
    // Whether a logged task describes exactly the pieces this task makes of its file.
    bool isConsistent(const DownloadTaskInfo &task) const;
    bool everyRangeFetched() const;
    qint64 probeByRange(QNetworkAccessManager &network, const QNetworkRequest &request, int &lastCode);
    qint64 probeFileSize();
    bool createTmpFile();
    void createPieces();
    void startWorkers();
    void failStart();
    void stopWorkers();
    void writeLog();
    void writePendingProgress();
    void complete();

    qint64 m_pieceSize = 2097152;
    int m_transferTimeoutMs = 30000;
    std::unique_ptr<DownloadTaskLog> m_log;
    QMutex m_mutex;
    QReadWriteLock m_logLock;
    DownloadTaskInfo m_info;
    NetworkError m_error;
    QList<FilePiece> m_unstartedPieces;
    QHash<int, FilePiece> m_handedOut;
    QList<QPointer<QThread>> m_threads;
    int m_activeWorkers = 0;
    int m_generation = 0;
    bool m_progressWritePending = false;
    std::atomic<bool> m_stopping{false};
};
