#pragma once

#include <QObject>
#include <QString>

// Abstract base of one download to a target path split into directory and file name.
class DownloadTask : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(DownloadTask)
public:
    explicit DownloadTask(const QString &targetPath, QObject *parent = nullptr);

    QString directory() const { return m_directory; }
    QString fileName() const { return m_fileName; }
    QString filePath() const { return m_directory + QLatin1Char('/') + m_fileName; }
    bool isRunning() const { return m_running; }

    virtual void start() = 0;
    virtual void stop() = 0;

protected:
    QString m_directory;
    QString m_fileName;
    bool m_running = false;
};
