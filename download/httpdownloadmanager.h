#pragma once

#include "network/networkerror.h"

#include <QHash>
#include <QList>
#include <QObject>

class HttpDownloadTask;

// Registry of downloads by URL; owns its tasks and reports each end with the task's error.
class HttpDownloadManager : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpDownloadManager)
public:
    explicit HttpDownloadManager(QObject *parent = nullptr);

    bool addTask(const QString &url, const QString &savePath, int threadCount);
    void startTask(const QString &url);
    void stopTask(const QString &url);
    HttpDownloadTask *task(const QString &url) const { return m_tasksByUrl.value(url); }

signals:
    void finished(const QString &url, const NetworkError &error);

private slots:
    void slotTaskFinished();

private:
    QList<HttpDownloadTask *> m_runningTasks;
    QHash<QString, HttpDownloadTask *> m_tasksByUrl;
};
