#include "processutils.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString executablePath(const QString &pidDir)
{
    QString target = QFile::symLinkTarget(pidDir + QStringLiteral("/exe"));
    if (target.endsWith(QLatin1String(" (deleted)")))
        target.chop(10);
    return target;
}

bool liesBelow(const QString &path, const QString &dir)
{
    if (dir.isEmpty())
        return true;
    if (path.isEmpty())
        return false;
    const QString base = QDir::cleanPath(dir);
    const QString folder = QFileInfo(path).absolutePath();
    return folder == base || folder.startsWith(base == QLatin1String("/") ? base : base + QLatin1Char('/'));
}

QString executableName(const QString &pidDir)
{
    const QString target = QFile::symLinkTarget(pidDir + QStringLiteral("/exe"));
    if (!target.isEmpty()) {
        QString name = QFileInfo(target).fileName();
        // A replaced binary shows as "name (deleted)".
        if (name.endsWith(QLatin1String(" (deleted)")))
            name.chop(10);
        return name;
    }
    QFile cmdline(pidDir + QStringLiteral("/cmdline"));
    if (!cmdline.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray first = cmdline.readAll().split('\0').value(0).split(' ').value(0);
    return QFileInfo(QString::fromUtf8(first)).fileName();
}

bool isAlive(pid_t pid)
{
    if (::kill(pid, 0) != 0)
        return errno == EPERM;
    // A zombie has ended; only its parent's wait is missing.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const int close = line.lastIndexOf(')');
    return !(close > 0 && line.size() > close + 2 && line.at(close + 2) == 'Z');
}

} // namespace

QList<qint64> processIdsByName(const QString &exeName)
{
    return processIdsByName(exeName, QString());
}

QList<qint64> processIdsByName(const QString &exeName, const QString &dir)
{
    QList<qint64> ids;
    if (exeName.isEmpty())
        return ids;
    const uid_t me = ::getuid();
    const pid_t self = ::getpid();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid || pid == self)
            continue;
        const QString procDir = QStringLiteral("/proc/") + entry;
        struct stat info;
        if (::stat(QFile::encodeName(procDir).constData(), &info) != 0 || info.st_uid != me)
            continue;
        if (executableName(procDir).compare(exeName, Qt::CaseInsensitive) == 0
            && liesBelow(executablePath(procDir), dir) && isAlive(pid_t(pid)))
            ids.append(pid);
    }
    return ids;
}

bool isProcessRunning(const QString &exeName)
{
    return !processIdsByName(exeName).isEmpty();
}

bool isProcessRunning(const QString &exeName, const QString &dir)
{
    return !processIdsByName(exeName, dir).isEmpty();
}

bool killProcessByName(const QString &exeName)
{
    return killProcessByName(exeName, QString());
}

bool killProcessByName(const QString &exeName, const QString &dir)
{
    if (!QFileInfo::exists(QStringLiteral("/proc/self")))
        return false;
    const QList<qint64> ids = processIdsByName(exeName, dir);
    for (qint64 pid : ids)
        ::kill(pid_t(pid), SIGTERM);
    QElapsedTimer waited;
    waited.start();
    QList<qint64> alive = ids;
    while (!alive.isEmpty() && waited.elapsed() < 2000) {
        QThread::msleep(20);
        for (int i = alive.size() - 1; i >= 0; --i) {
            if (!isAlive(pid_t(alive.at(i))))
                alive.removeAt(i);
        }
    }
    bool allEnded = true;
    for (qint64 pid : alive) {
        ::kill(pid_t(pid), SIGKILL);
        QElapsedTimer grace;
        grace.start();
        while (isAlive(pid_t(pid)) && grace.elapsed() < 1000)
            QThread::msleep(10);
        if (isAlive(pid_t(pid)))
            allEnded = false;
    }
    return allEnded;
}
