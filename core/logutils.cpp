#include "logutils.h"

#include "core/fileutils.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QReadWriteLock>
#include <QTextStream>
#include <QThread>

namespace {
QReadWriteLock &logLock()
{
    static QReadWriteLock lock;
    return lock;
}
} // namespace

QString LogUtils::logFilePath(const QString &path)
{
    const QString resolved = absolutePath(path);
    if (resolved.endsWith(QLatin1String(".elf")))
        return resolved;
    return resolved + QStringLiteral("/log.elf");
}

void LogUtils::write(const QString &level, const QString &path, const QString &message)
{
    if (path.isEmpty())
        return;
    const QString time = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss,zzz"));
    const quint32 threadId = quint32(quintptr(QThread::currentThreadId()));
    const QString record
        = QStringLiteral("%0 [ThreadID: %1] %2  - %3\n").arg(time).arg(threadId).arg(level).arg(message);
    const QString fileName = logFilePath(path);
    makeDir(QFileInfo(fileName).absolutePath());

    QWriteLocker locker(&logLock());
    QFile file(fileName);
    if (!file.open(file.exists() ? QIODevice::Append : QIODevice::WriteOnly))
        return;
    file.write(record.toUtf8());
    file.close();
}

void LogUtils::debug(const QString &path, const QString &message)
{
    write(QStringLiteral("DEBUG"), path, message);
}
void LogUtils::info(const QString &path, const QString &message)
{
    write(QStringLiteral("INFO"), path, message);
}
void LogUtils::warn(const QString &path, const QString &message)
{
    write(QStringLiteral("WARN"), path, message);
}
void LogUtils::error(const QString &path, const QString &message)
{
    write(QStringLiteral("ERROR"), path, message);
}
void LogUtils::fatal(const QString &path, const QString &message)
{
    write(QStringLiteral("FATAL"), path, message);
}
