#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// The record of one installation of an unpacked package over the application root, kept as
// "install.journal" in the version's download directory, with every replaced original moved
// into "backup/" there. It is written before the installation touches anything and rewritten
// at each change of state, so whatever ends a run, the next start of either program can put
// the installation back as it was or finish it (InstallRepair). The file is lines of text:
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

    // Whether the directory holds a journal or backups: such a directory is never discarded.
    static bool holdsInstallState(const QString &downloadDir);

    State state = State::Installing;
    QString version;
    QList<Entry> entries;
    QStringList createdDirs;

private:
    QString m_downloadDir;
};

// Holds "install.lock" of a download directory for as long as it lives; the lock ends with the
// process, however it ends, so a held lock always means a running installer.
class InstallLock
{
public:
    explicit InstallLock(const QString &downloadDir);
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

enum class Result { Nothing, Repaired, Busy };

// Finishes or undoes every installation below root's "data/update/<app>/<version>" that a
// journal shows was interrupted, and consumes the journals of installations that ended. Busy
// when an installer still runs there. Each outcome tells what the page should hear.
Result repairInterrupted(const QString &root, QList<Outcome> *outcomes = nullptr);

// Undoes the journal's installation, recording the result in it; the backups stay when it fails.
bool rollBack(InstallJournal &journal, const QString &root);

} // namespace InstallRepair

// Test hook: with KAVO_TEST_KILL_AT=stage:index in the environment, the process kills itself
// with SIGKILL on reaching that point; with KAVO_TEST_STOP_AT it stops there (SIGSTOP) until a
// SIGCONT. Without the variables it does nothing.
void testKillPoint(const char *stage, int index = -1);
