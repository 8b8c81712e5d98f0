#include "installjournal.h"

#include "core/fileutils.h"
#include "core/logutils.h"
#include "core/updatearea.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char Magic[] = "KavoInstallJournal 1";

const char *stateName(InstallJournal::State state)
{
    switch (state) {
    case InstallJournal::State::Installing:
        return "installing";
    case InstallJournal::State::Installed:
        return "installed";
    case InstallJournal::State::RolledBack:
        return "rolledback";
    case InstallJournal::State::RollbackFailed:
        return "rollbackfailed";
    }
    return "installing";
}

bool parseState(const QByteArray &name, InstallJournal::State &state)
{
    for (auto s : {InstallJournal::State::Installing, InstallJournal::State::Installed,
                   InstallJournal::State::RolledBack, InstallJournal::State::RollbackFailed}) {
        if (name == stateName(s)) {
            state = s;
            return true;
        }
    }
    return false;
}

// A path below the root: relative, no empty, "." or ".." element. The journal lies on disk and is
// read back by a later run, so a path from it is checked before anything is moved by it.
bool isSafeRelative(const QString &path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')))
        return false;
    const QStringList parts = path.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (!UpdateArea::isSafeName(part))
            return false;
    }
    return true;
}

bool existsOrLink(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

bool syncPath(const QString &path, int flags)
{
    const int fd = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool sameFile(const QString &a, const QString &b)
{
    struct stat first;
    struct stat second;
    return ::lstat(QFile::encodeName(a).constData(), &first) == 0 && ::lstat(QFile::encodeName(b).constData(), &second) == 0
        && first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// Copies from's bytes and permissions to to, synced; false leaves no to behind.
bool copyWhole(const QString &from, const QString &to)
{
    QFile in(from);
    QFile out(to);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        QFile::remove(to);
        return false;
    }
    QByteArray chunk;
    bool ok = true;
    while (ok && !(chunk = in.read(1 << 20)).isEmpty())
        ok = out.write(chunk) == chunk.size();
    ok = ok && in.error() == QFileDevice::NoError && out.flush() && out.setPermissions(in.permissions())
        && ::fsync(out.handle()) == 0;
    out.close();
    if (!ok)
        QFile::remove(to);
    return ok;
}

bool renamePath(const QString &from, const QString &to)
{
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

// Moves a file over another in one rename; across file systems a whole copy is made beside the
// target first, so the target holds a whole file at every moment either way.
bool moveFile(const QString &from, const QString &to)
{
    if (renamePath(from, to))
        return true;
    if (errno != EXDEV)
        return false;
    const QString partial = InstallJournal::partialOf(to);
    if (!copyWhole(from, partial) || !renamePath(partial, to)) {
        QFile::remove(partial);
        return false;
    }
    return QFile::remove(from);
}

} // namespace

InstallJournal::InstallJournal(const QString &downloadDir)
    : m_downloadDir(QDir::cleanPath(downloadDir))
{
}

QString InstallJournal::path() const
{
    return m_downloadDir + QLatin1Char('/') + fileName();
}

QString InstallJournal::backupDir() const
{
    return m_downloadDir + QStringLiteral("/backup");
}

QString InstallJournal::backupOf(const QString &relative) const
{
    return backupDir() + QLatin1Char('/') + relative;
}

bool InstallJournal::exists() const
{
    return QFileInfo::exists(path());
}

bool InstallJournal::holdsInstallState(const QString &downloadDir)
{
    const InstallJournal journal(downloadDir);
    return journal.exists() || existsOrLink(journal.backupDir());
}

bool InstallJournal::load(QString *error)
{
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    QFile file(path());
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot open ") + path());
    // Far more than any package's list of files; a larger file is not ours.
    if (file.size() > 64 * 1024 * 1024)
        return fail(QStringLiteral("too large"));
    const QList<QByteArray> lines = file.readAll().split('\n');
    if (lines.value(0) != Magic)
        return fail(QStringLiteral("not an install journal"));
    State parsedState = State::Installing;
    bool haveState = false;
    QString parsedVersion;
    QList<Entry> parsedEntries;
    QStringList parsedDirs;
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        if (line.isEmpty())
            continue;
        const int space = line.indexOf(' ');
        const QByteArray key = line.left(space);
        const QByteArray rest = space < 0 ? QByteArray() : line.mid(space + 1);
        if (key == "state") {
            if (!parseState(rest, parsedState))
                return fail(QStringLiteral("unknown state on line %1").arg(i + 1));
            haveState = true;
        } else if (key == "version") {
            parsedVersion = QString::fromUtf8(rest);
        } else if (key == "dir") {
            const QString dir = QUrl::fromPercentEncoding(rest);
            if (!isSafeRelative(dir))
                return fail(QStringLiteral("bad path on line %1").arg(i + 1));
            parsedDirs << dir;
        } else if (key == "file") {
            Entry entry;
            if (rest.size() < 3 || (rest.at(0) != '0' && rest.at(0) != '1') || rest.at(1) != ' ')
                return fail(QStringLiteral("bad entry on line %1").arg(i + 1));
            entry.hadOld = rest.at(0) == '1';
            entry.relative = QUrl::fromPercentEncoding(rest.mid(2));
            if (!isSafeRelative(entry.relative))
                return fail(QStringLiteral("bad path on line %1").arg(i + 1));
            parsedEntries << entry;
        } else {
            return fail(QStringLiteral("unknown line %1").arg(i + 1));
        }
    }
    if (!haveState)
        return fail(QStringLiteral("no state"));
    state = parsedState;
    version = parsedVersion;
    entries = parsedEntries;
    createdDirs = parsedDirs;
    return true;
}

bool InstallJournal::save() const
{
    QByteArray text(Magic);
    text += "\nstate ";
    text += stateName(state);
    text += "\nversion " + version.toUtf8() + '\n';
    for (const QString &dir : createdDirs)
        text += "dir " + QUrl::toPercentEncoding(dir, "/") + '\n';
    for (const Entry &entry : entries)
        text += QByteArray("file ") + (entry.hadOld ? '1' : '0') + ' ' + QUrl::toPercentEncoding(entry.relative, "/") + '\n';

    if (!makeDir(m_downloadDir) || !replaceDurably(path(), text))
        return false;
    syncPath(m_downloadDir, O_RDONLY | O_DIRECTORY);
    return true;
}

bool InstallJournal::remove() const
{
    return removeFile(path());
}

bool InstallJournal::rollback(const QString &root, QStringList *failures) const
{
    bool ok = true;
    for (int i = entries.size() - 1; i >= 0; --i) {
        testKillPoint("rollback", entries.size() - 1 - i);
        const Entry &entry = entries.at(i);
        const QString destination = root + QLatin1Char('/') + entry.relative;
        const QString backup = backupOf(entry.relative);
        bool restored = true;
        // A new version that a kill left half written beside its target.
        QFile::remove(partialOf(destination));
        if (entry.hadOld) {
            // No backup means the original was never replaced, or was already put back; a
            // backup that is still the installed file itself has nothing to undo.
            if (existsOrLink(backup) && !sameFile(backup, destination)) {
                const QFileInfo current(destination);
                if (current.isDir() && !current.isSymLink())
                    restored = false;
                else
                    restored = moveFile(backup, destination);
            }
        } else {
            const QFileInfo current(destination);
            if (current.isSymLink() || current.isFile())
                restored = QFile::remove(destination);
        }
        if (!restored) {
            ok = false;
            if (failures)
                *failures << entry.relative;
        }
    }
    // Deepest first; a directory that holds anything else stays.
    for (int i = createdDirs.size() - 1; i >= 0; --i)
        QDir(root).rmdir(createdDirs.at(i));
    return ok;
}

bool InstallJournal::keepOriginal(const QString &path, const QString &backup)
{
    if (!QDir().mkpath(QFileInfo(backup).absolutePath()))
        return false;
    QFile::remove(backup);
    if (::link(QFile::encodeName(path).constData(), QFile::encodeName(backup).constData()) == 0)
        return true;
    // Another file system below the update area, or one without links: a copy, made whole
    // beside the backup's name first, since a half backup would be put back as the original.
    const QString partial = partialOf(backup);
    if (!copyWhole(path, partial) || !renamePath(partial, backup)) {
        QFile::remove(partial);
        return false;
    }
    return true;
}

bool InstallJournal::replaceFile(const QString &source, const QString &target)
{
    const QString partial = partialOf(target);
    if (!QDir().mkpath(QFileInfo(target).absolutePath()) || !copyWhole(source, partial))
        return false;
    if (!renamePath(partial, target)) {
        QFile::remove(partial);
        return false;
    }
    return true;
}

bool InstallJournal::syncDir(const QString &dir)
{
    return syncPath(dir, O_RDONLY | O_DIRECTORY);
}

InstallLock::InstallLock(const QString &root)
    : m_path(QDir::cleanPath(root) + QStringLiteral("/data/update/install.lock"))
{
}

InstallLock::~InstallLock()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool InstallLock::tryLock()
{
    if (m_fd >= 0)
        return true;
    if (!QDir().mkpath(QFileInfo(m_path).absolutePath()))
        return false;
    const int fd = ::open(QFile::encodeName(m_path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

namespace InstallRepair {

bool rollBack(InstallJournal &journal, const QString &root)
{
    const QString dir = journal.downloadDir();
    QStringList failures;
    if (journal.rollback(root, &failures)) {
        journal.state = InstallJournal::State::RolledBack;
        journal.save();
        LogUtils::info(dir, QStringLiteral("已恢复升级前的文件."));
        return true;
    }
    journal.state = InstallJournal::State::RollbackFailed;
    journal.save();
    LogUtils::error(dir, QStringLiteral("恢复原文件失败! 备份保留在: ") + journal.backupDir() + QStringLiteral("\n     ")
                             + failures.join(QStringLiteral("\n     ")));
    return false;
}

// The journal has done its job: its backups and then itself go.
static void consume(const InstallJournal &journal)
{
    removeDir(journal.backupDir());
    journal.remove();
}

Result repairInterrupted(const QString &root, QList<Outcome> *outcomes, QString *problem)
{
    Result result = Result::Nothing;
    const QString base = QDir::cleanPath(root) + QStringLiteral("/data/update");
    // Taken once something is found, and held to the end: one lock for the whole installation.
    InstallLock lock(root);
    bool locked = false;
    const QStringList apps = QDir(base).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &app : apps) {
        if (!UpdateArea::isSafeName(app))
            continue;
        const QString appDir = base + QLatin1Char('/') + app;
        const QStringList versions = QDir(appDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString &version : versions) {
            const QString dir = appDir + QLatin1Char('/') + version;
            InstallJournal journal(dir);
            if (!UpdateArea::isSafeName(version) || !InstallJournal::holdsInstallState(dir))
                continue;
            if (!locked && !(locked = lock.tryLock()))
                return Result::Busy;
            if (!journal.exists()) {
                // Nothing says what these files are or where they belong: they are kept, out
                // of the way of the next update of this version.
                const QString aside = appDir + QLatin1Char('/') + version + QStringLiteral("-backup-set-aside-")
                    + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmsszzz"));
                if (renamePath(journal.backupDir(), aside))
                    LogUtils::warn(dir, QStringLiteral("发现没有安装记录的备份, 已移到: ") + aside);
                else
                    LogUtils::error(dir, QStringLiteral("无法移开没有安装记录的备份: ") + journal.backupDir());
                continue;
            }
            QString error;
            if (!journal.load(&error)) {
                // Without a readable record nothing can be put back safely: everything stays,
                // and nothing runs on files that may be half old, half new.
                LogUtils::error(dir, QStringLiteral("无法读取安装记录: ") + error);
                if (problem)
                    *problem = journal.path() + QStringLiteral(": ") + error;
                result = Result::Unreadable;
                continue;
            }
            if (result == Result::Nothing)
                result = Result::Repaired;
            Outcome outcome;
            outcome.version = journal.version.isEmpty() ? version : journal.version;
            switch (journal.state) {
            case InstallJournal::State::Installing:
            case InstallJournal::State::RollbackFailed:
                LogUtils::info(dir, QStringLiteral("发现未完成的升级安装, 正在恢复原文件..."));
                if (rollBack(journal, root))
                    consume(journal);
                break;
            case InstallJournal::State::RolledBack:
                consume(journal);
                break;
            case InstallJournal::State::Installed:
                outcome.installed = true;
                consume(journal);
                break;
            }
            if (outcomes)
                outcomes->append(outcome);
        }
    }
    return result;
}

} // namespace InstallRepair
