#include "download/httpdownloadmanager.h"

#include "core/fileutils.h"
#include "download/httpdownloadtask.h"

#include <QFileInfo>

HttpDownloadManager::HttpDownloadManager(QObject *parent)
    : QObject(parent)
{
}

bool HttpDownloadManager::addTask(const QString &url, const QString &savePath, int threadCount)
{
    if (m_tasksByUrl.contains(url))
        return false;
    QString target = absolutePath(savePath);
    if (QFileInfo(target).isDir())
        target += url.mid(url.lastIndexOf(QLatin1Char('/')));
    auto *task = new HttpDownloadTask(url, target, this);
    task->setThreadCount(threadCount);
    m_tasksByUrl.insert(url, task);
    return true;
}

void HttpDownloadManager::startTask(const QString &url)
{
    HttpDownloadTask *task = m_tasksByUrl.value(url);
    if (!task || m_runningTasks.contains(task))
        return;
    connect(task, &HttpDownloadTask::finished, this, &HttpDownloadManager::slotTaskFinished);
    m_runningTasks.append(task);
    task->start();
}

void HttpDownloadManager::stopTask(const QString &url)
{
    HttpDownloadTask *task = m_tasksByUrl.value(url);
    if (!task || !m_runningTasks.contains(task))
        return;
    task->stop();
    disconnect(task, &HttpDownloadTask::finished, this, &HttpDownloadManager::slotTaskFinished);
    m_runningTasks.removeAll(task);
}

void HttpDownloadManager::slotTaskFinished()
{
    auto *task = qobject_cast<HttpDownloadTask *>(sender());
    if (!task)
        return;
    const NetworkError error = task->lastError();
    const QString url = task->url();
    emit finished(url, error);
    stopTask(url);
    m_tasksByUrl.remove(url);
}
