#include "download/downloadtask.h"

#include <QFileInfo>

DownloadTask::DownloadTask(const QString &targetPath, QObject *parent)
    : QObject(parent)
{
    const QFileInfo info(targetPath);
    m_directory = info.path();
    m_fileName = info.fileName();
}
