#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include "core/testswitches.h"

// The record of one installation of an unpacked package over the application root, kept as
// "install.journal" in the version's download directory, with a second name (or a copy) of
// every replaced original in "backup/" there. It is written before the installation touches
// anything and rewritten at each change of state, so whatever ends a run, the next start of
// either program can put the installation back as it was or finish it (InstallRepair). Every
// file is replaced by renaming its new version over it, so each path of the installation holds
// a whole file, old or new, at every moment. The file is lines of text:
//     KavoInstallJournal 1
//     state installing|installed|rolledback|rollbackfailed
//     version 5.0.0.1
//     dir <path>                 a directory the installation created
//     file <0|1> <path>          a file it writes; 1 when an original was there
// with paths relative to the root, percent-encoded.
class InstallJournal
{
public:
    enum class State { Installing, Installed, RolledBack, RollbackFailed };
    struct Entry
    {
        QString relative;
        bool hadOld = false;
    };

    explicit InstallJournal(const QString &downloadDir);

    static QString fileName() { return QStringLiteral("install.journal"); }
    QString downloadDir() const { return m_downloadDir; }
    QString path() const;
    QString backupDir() const;
    QString backupOf(const QString &relative) const;

    bool exists() const;
    // False for a missing file and for one that is not a journal this program wrote.
    bool load(QString *error = nullptr);
    // Replaces the file in one rename after syncing it: a kill leaves the old or the new journal.
    bool save() const;
    bool remove() const;

    // Puts every original back and removes what the installation added. Running it again after
    // it was interrupted finishes it. The paths that could not be restored go to failures.
    bool rollback(const QString &root, QStringList *failures = nullptr) const;

    // Where a file's new version is written before it is renamed over the file.
    static QString partialOf(const QString &path) { return path + QStringLiteral(".kavo-new"); }
    // Keeps the original at path as backup: a hard link, or a whole copy where links fail. The
    // original stays in place; the backup appears only once whole.
    static bool keepOriginal(const QString &path, const QString &backup);
    // Writes source's bytes and permissions beside target and renames them over it.
    static bool replaceFile(const QString &source, const QString &target);
    // Makes the renames in dir durable.
    static bool syncDir(const QString &dir);

    // Whether the directory holds a journal or backups: such a directory is never discarded.
    static bool holdsInstallState(const QString &downloadDir);

    State state = State::Installing;
    QString version;
    QList<Entry> entries;
    QStringList createdDirs;

private:
    QString m_downloadDir;
};

// Holds "data/update/install.lock" of an installation for as long as it lives: one lock for
// every version, so two installers never interleave. The lock ends with the process, however
// it ends, so a held lock always means a running installer.
class InstallLock
{
public:
    explicit InstallLock(const QString &root);
    ~InstallLock();
    InstallLock(const InstallLock &) = delete;
    InstallLock &operator=(const InstallLock &) = delete;

    bool tryLock();

private:
    QString m_path;
    int m_fd = -1;
};

namespace InstallRepair {

struct Outcome
{
    QString version;
    bool installed = false; // true: wholly new; false: wholly old (or a rollback that failed)
};

// Unreadable: a journal that cannot be read stands in the way; nothing can tell which files
// are old and which new, so the installation must not run (problem says where and why).
enum class Result { Nothing, Repaired, Busy, Unreadable };

// Finishes or undoes every installation below root's "data/update/<app>/<version>" that a
// journal shows was interrupted, and consumes the journals of installations that ended. Busy
// when an installer still runs there. Each outcome tells what the page should hear. A backup
// folder without a journal (nothing says what it holds) is set aside beside the version's
// folder, so it blocks no later update.
Result repairInterrupted(const QString &root, QList<Outcome> *outcomes = nullptr, QString *problem = nullptr);

// Undoes the journal's installation, recording the result in it; the backups stay when it fails.
bool rollBack(InstallJournal &journal, const QString &root);

} // namespace InstallRepair
