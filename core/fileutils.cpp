#include "fileutils.h"

#include "messagebox.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QSaveFile>
#include <QWaitCondition>

#include <cstdio>
#include <unistd.h>

namespace {
const char *const ErrorTitle = "错误";
}

QString applicationDir()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).canonicalPath();
}

QString absolutePath(const QString &path)
{
    if (QDir::isAbsolutePath(path))
        return path;
    return applicationDir() + QLatin1Char('/') + path;
}

bool FileUtils::exists(const QString &fileName)
{
    return QFileInfo::exists(absolutePath(fileName));
}

QByteArray readFileBytes(const QString &path)
{
    QFile file(absolutePath(path));
    if (!file.open(QIODevice::ReadOnly)) {
        showCriticalMessage(QString::fromUtf8(ErrorTitle), QStringLiteral("打开文件失败!"));
        return QByteArray();
    }
    return file.readAll();
}

bool readAtMost(QFile &file, qint64 limit, QByteArray *bytes)
{
    if (file.size() > limit)
        return false;
    *bytes = file.read(file.size() + 1);
    return bytes->size() <= limit;
}

static bool makeParentDir(const QString &resolved)
{
    const int slash = resolved.lastIndexOf(QLatin1Char('/'));
    if (slash > 0)
        return makeDir(resolved.left(slash));
    return true;
}

bool writeFileBytes(const QByteArray &data, const QString &path, bool overwrite)
{
    if (data.isNull() || path.isEmpty())
        return false;
    const QString resolved = absolutePath(path);
    makeParentDir(resolved);
    if (!overwrite && QFileInfo::exists(resolved))
        return false;
    // An atomic replace: a failed write leaves the old file as it was.
    QSaveFile file(resolved);
    if (!file.open(QIODevice::WriteOnly)) {
        showCriticalMessage(QString::fromUtf8(ErrorTitle), QStringLiteral("创建文件失败"));
        return false;
    }
    if (file.write(data) != data.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

bool replaceDurably(const QString &path, const QByteArray &text)
{
    const QString partial = path + QStringLiteral(".part");
    QFile file(partial);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const bool written = file.write(text) == text.size() && file.flush() && ::fsync(file.handle()) == 0;
    file.close();
    if (!written || ::rename(QFile::encodeName(partial).constData(), QFile::encodeName(path).constData()) != 0) {
        QFile::remove(partial);
        return false;
    }
    return true;
}

bool makeDir(const QString &path)
{
    const QString resolved = absolutePath(path);
    if (QFileInfo::exists(resolved))
        return true;
    return QDir().mkpath(resolved);
}

QStringList listFiles(const QString &folder)
{
    return QDir(absolutePath(folder)).entryList(QDir::Files, QDir::Unsorted);
}

bool copyFile(const QString &source, const QString &target)
{
    const QString from = QDir::cleanPath(absolutePath(source));
    const QString to = QDir::cleanPath(absolutePath(target));
    if (!QFileInfo::exists(from))
        return false;
    // Paths that differ in letter case are different files here.
    const QString fromCanonical = QFileInfo(from).canonicalFilePath();
    const QString toCanonical = QFileInfo(to).canonicalFilePath();
    if (from == to || (!toCanonical.isEmpty() && fromCanonical == toCanonical))
        return true;
    if (!makeParentDir(to))
        return false;

    // Copy beside the target and rename over it, so the old file survives any failure.
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    QSaveFile out(to);
    out.setDirectWriteFallback(false);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    QByteArray chunk;
    while (!(chunk = in.read(1 << 20)).isEmpty()) {
        if (out.write(chunk) != chunk.size()) {
            out.cancelWriting();
            return false;
        }
    }
    if (in.error() != QFileDevice::NoError) {
        out.cancelWriting();
        return false;
    }
    if (!out.commit())
        return false;
    QFile::setPermissions(to, in.permissions());
    return true;
}

bool removeFile(const QString &path)
{
    const QString resolved = absolutePath(path);
    const QFileInfo info(resolved);
    if (!info.exists() && !info.isSymLink())
        return true;
    return QFile::remove(resolved);
}

static void removeTree(const QString &path)
{
    const QFileInfo info(path);
    // A link is removed itself; what it points to is never touched.
    if (info.isSymLink() || !info.isDir()) {
        QFile::remove(path);
        return;
    }
    QDir dir(path);
    const QFileInfoList entries
        = dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries)
        removeTree(entry.absoluteFilePath());
    QDir(info.absolutePath()).rmdir(info.fileName());
}

void removeDir(const QString &path)
{
    const QString resolved = absolutePath(path);
    const QFileInfo info(resolved);
    if (!info.exists() && !info.isSymLink())
        return;
    removeTree(resolved);
}

void sleepMs(int milliseconds)
{
    QMutex mutex;
    QWaitCondition never;
    QMutexLocker locker(&mutex);
    never.wait(&mutex, (unsigned long)qMax(0, milliseconds));
}
