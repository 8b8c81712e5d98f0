#pragma once

#include "download/filepiece.h"
#include "network/networkerror.h"

#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <memory>

class HttpDownloadTask;
class QFile;
class QNetworkAccessManager;

// One connection of a download. Lives in its own thread with its own network access manager,
// asks the task for pieces and fetches the rest of each with one ranged GET, storing it block by
// block (64 KiB) into the mapping of the piece's range of the temporary file.
class HttpDownloadWorker : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpDownloadWorker)
public:
    static constexpr qint64 BlockSize = 65536;
    static constexpr int Attempts = 3;
    // Bytes of the piece mapped at a time: stored windows are unmapped, so the written pages of a
    // large piece do not stay in the process's resident memory.
    static constexpr qint64 WindowSize = 2 * 1024 * 1024;
    // Bytes a reply may hold before the connection waits for them to be stored.
    static constexpr qint64 ReadBufferSize = 512 * 1024;

    HttpDownloadWorker(HttpDownloadTask *task, const QString &url, const QString &tmpPath,
                       int transferTimeoutMs);
    ~HttpDownloadWorker() override;

signals:
    void finished();
    void pieceFinished(int id);
    void pieceProgressChanged(int id, qint64 doneByte);
    void error(NetworkError errorInfo);

public slots:
    void doWork();
    void slotReplyFinished();
    void slotError(QNetworkReply::NetworkError code);
    Q_INVOKABLE void stop();

private:
    void sendRequest();
    void fail(const NetworkError &e);
    void releaseMapping();
    bool mapWindowAt(qint64 offset);
    void closeFile();
    void checkReplyHeaders();
    void storeBlocks();

    FilePiece m_piece;
    NetworkError m_error;
    int m_retriesLeft = Attempts;
    QString m_url;
    QString m_tmpPath;
    uchar *m_mapped = nullptr;
    // Offsets from the piece's start of the mapped window.
    qint64 m_windowFrom = 0;
    qint64 m_windowTo = 0;
    // Offset from the piece's start up to which this attempt's bytes are in the mapping.
    qint64 m_written = 0;
    std::unique_ptr<QFile> m_file;
    QNetworkAccessManager *m_network = nullptr;
    QPointer<QNetworkReply> m_reply;
    qint64 m_requestFrom = 0;
    qint64 m_requestSize = 0;
    bool m_rangeIgnored = false;
    bool m_replyValid = false;
    bool m_attemptProgress = false;
    int m_transferTimeoutMs;
    bool m_stopped = false;
    HttpDownloadTask *m_task;
};
