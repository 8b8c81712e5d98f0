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
// block (64 KiB) into a mapping of the temporary file. Only a window of the piece is mapped at a
// time, so the written pages leave the process's resident set as the window moves on.
class HttpDownloadWorker : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpDownloadWorker)
public:
    static constexpr qint64 BlockSize = 65536;
    static constexpr int Attempts = 3;
    static constexpr qint64 WindowSize = 32 * BlockSize;
    static constexpr qint64 ReadBufferSize = 16 * BlockSize;

    HttpDownloadWorker(HttpDownloadTask *task, const QString &url, const QString &tmpPath, qint64 fileSize,
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
    bool mapWindow(qint64 offset);
    void closeFile();
    void checkReplyHeaders();
    void storeBlocks();

    FilePiece m_piece;
    NetworkError m_error;
    int m_retriesLeft = Attempts;
    QString m_url;
    QString m_tmpPath;
    qint64 m_fileSize;
    uchar *m_mapped = nullptr;
    qint64 m_windowStart = 0; // file offset of m_mapped
    qint64 m_windowSize = 0;
    std::unique_ptr<QFile> m_file;
    QNetworkAccessManager *m_network = nullptr;
    QPointer<QNetworkReply> m_reply;
    qint64 m_requestFrom = 0;
    qint64 m_requestSize = 0;
    qint64 m_copied = 0; // file offset up to which this attempt's bytes are in the mapping
    bool m_rangeIgnored = false;
    bool m_rangeRefused = false; // a 206 for other bytes than asked, cut short
    bool m_replyValid = false;
    bool m_attemptProgress = false;
    int m_transferTimeoutMs;
    bool m_stopped = false;
    bool m_failed = false; // this piece has been given up; nothing more is sent for it
    HttpDownloadTask *m_task;
};
