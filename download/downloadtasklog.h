#pragma once

#include "download/downloadtaskinfo.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

// The task log "update.rdl": the tasks of one download directory held in memory, read from and
// written to an XML file. No lock of its own; the download task serialises every call.
// Writes replace the file by rename, so a kill leaves the old or the new log, never a torn one.
class DownloadTaskLog : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(DownloadTaskLog)
public:
    explicit DownloadTaskLog(const QString &logPath, QObject *parent = nullptr);

    QString logPath() const { return m_logPath; }

    bool exists() const;
    bool load(const QString &path, QString &errorMessage);
    bool load(QString &errorMessage);
    bool save(const QString &path);
    bool save();

    int taskCount() const { return m_tasks.size(); }
    QList<DownloadTaskInfo> tasks() const;
    bool getTask(const QString &url, DownloadTaskInfo &info) const;
    bool getTask(int index, DownloadTaskInfo &info) const;
    bool addTask(const DownloadTaskInfo &info);
    void updateTask(const QString &url, const DownloadTaskInfo &info);
    void removeTask(const QString &url);

    int threadCount(const QString &url) const;
    int unstartedOffsetIndex(const QString &url) const;
    qint64 fileSize(const QString &url) const;
    bool setThreadCount(const QString &url, int n);
    bool setUnstartedOffsetIndex(const QString &url, int n);
    bool setFileSize(const QString &url, qint64 size);

    QList<FilePiece> pieces(const QString &url) const;
    qint64 pieceDone(const QString &url, int id) const;
    bool setPieceDone(const QString &url, int id, qint64 done);
    bool appendPiece(const QString &url, const FilePiece &piece);
    bool setPiece(const QString &url, const FilePiece &piece);
    int removePiece(const QString &url, int id);

private:
    // Insertion order is the write order; a QHash alone would scramble it between runs.
    QList<QString> m_order;
    QHash<QString, DownloadTaskInfo> m_tasks;
    QString m_logPath;
};
