#include "installjournal.h"

#include "core/fileutils.h"
#include "core/logutils.h"
#include "core/updatearea.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
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

// Moves a file, falling back to a copy where the two paths lie on different file systems.
bool moveFile(const QString &from, const QString &to)
{
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    if (errno != EXDEV)
        return false;
    return copyFile(from, to) && QFile::remove(from);
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

    const QString partial = path() + QStringLiteral(".part");
    QFile file(partial);
    if (!makeDir(m_downloadDir) || !file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const bool written = file.write(text) == text.size() && file.flush() && ::fsync(file.handle()) == 0;
    file.close();
    if (!written || ::rename(QFile::encodeName(partial).constData(), QFile::encodeName(path()).constData()) != 0) {
        QFile::remove(partial);
        return false;
    }
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
        if (entry.hadOld) {
            // No backup means the original never left its place, or was already put back.
            if (existsOrLink(backup)) {
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

InstallLock::InstallLock(const QString &downloadDir)
    : m_path(QDir::cleanPath(downloadDir) + QStringLiteral("/install.lock"))
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
    const int fd = ::open(QFile::encodeName(m_path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
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

Result repairInterrupted(const QString &root, QList<Outcome> *outcomes)
{
    Result result = Result::Nothing;
    const QString base = QDir::cleanPath(root) + QStringLiteral("/data/update");
    const QStringList apps = QDir(base).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &app : apps) {
        if (!UpdateArea::isSafeName(app))
            continue;
        const QStringList versions = QDir(base + QLatin1Char('/') + app).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString &version : versions) {
            const QString dir = base + QLatin1Char('/') + app + QLatin1Char('/') + version;
            InstallJournal journal(dir);
            if (!UpdateArea::isSafeName(version) || !journal.exists())
                continue;
            InstallLock lock(dir);
            if (!lock.tryLock()) {
                result = Result::Busy;
                continue;
            }
            QString error;
            if (!journal.load(&error)) {
                // Without a readable record nothing can be put back safely: everything stays.
                LogUtils::error(dir, QStringLiteral("无法读取安装记录: ") + error);
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

void testKillPoint(const char *stage, int index)
{
    static const QByteArray target = qgetenv("KAVO_TEST_KILL_AT");
    static const QByteArray stopAt = qgetenv("KAVO_TEST_STOP_AT");
    if (target.isEmpty() && stopAt.isEmpty())
        return;
    QByteArray here(stage);
    if (index >= 0)
        here += ':' + QByteArray::number(index);
    if (target == here)
        ::kill(::getpid(), SIGKILL);
    if (stopAt == here)
        ::kill(::getpid(), SIGSTOP);
}
