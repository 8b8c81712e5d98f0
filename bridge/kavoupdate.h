#pragma once

#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QString>

#include <functional>

class BrowserWindow;

// The main program's side of self-update. A page announces a version and its package URL;
// the process-wide client starts the updater to download it (or to ask again about a package
// already downloaded), so the download outlives the page that asked for it and every open
// page hears when it fails. At start-up the same client cleans the update area and resumes an
// installation left by an earlier run. Every record goes to "log.elf" of the version's
// download directory.
class KavoUpdate : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(KavoUpdate)
public:
    explicit KavoUpdate(BrowserWindow *window = nullptr);
    ~KavoUpdate() override;

    // Dotted decimal versions: 1 when a is greater, -1 when b is, 0 when equal, -2 when they
    // cannot be compared.
    static int compareVersions(const QString &a, const QString &b);
    // Ends this installation's updaters and removes the running version's unpacked "tmp".
    static void cleanupUpdater();
    // How an update whose installation was repaired at this start ended, for the page.
    struct EndedUpdate
    {
        bool known = false;
        bool success = false;
        QString version;
    };
    // Puts back or finishes an installation that a kill interrupted; runs before anything else
    // of start-up. False when an installer is still at work in this installation, or when an
    // installation journal cannot be read (unreadable then says which and why): its files may
    // be half old, half new, and the program must not run on them.
    static bool repairInterruptedInstallation(EndedUpdate *ended, QString *unreadable = nullptr);
    // Installs the newest complete package of a version newer than the running one that an
    // earlier run downloaded, and removes the failed attempts beside it and the older ones it
    // supersedes (each keeps its "log.elf"); true when the installing updater is running.
    static bool resumePendingUpdate();

    // The process-wide client of the start-up steps: made on first use, destroyed at exit.
    static KavoUpdate *instance();
    static void destroyInstance();

    QString version() const { return m_version; }
    QString url() const { return m_url; }
    // The updater the process-wide client runs (pages share it), or none.
    QProcess *process() const;
    // Absolute; empty while no acceptable version is set.
    QString downloadDir() const;
    QString packageFileName() const;

    // Runs whenever the updater this object started ends, fails or is stopped.
    void setUpdaterEndedHandler(const std::function<void()> &handler) { m_endedHandler = handler; }

public slots:
    void beginUpdate(const QString &version, const QString &description, const QString &url);

private slots:
    void onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void onProcessError(QProcess::ProcessError error);
    void onProcessStarted();
    void onProcessingReceivedData();
    void onConnectedToUpdate();

private:
    // What became of a download left by an earlier run when start-up tried to install it.
    // Installing: its installing updater runs. Ended: no installing updater took up the job (one
    // ended at once, or another runs). Waiting: not complete or not checked yet, and kept for a
    // later announcement. Discarded: it cannot be installed and was removed, all but its log.
    enum class Pending { Installing, Ended, Waiting, Discarded };

    bool startDownload();
    Pending installPendingDownload(const QString &version);
    Pending startInstallation();
    bool startUpdater(const QString &program, const QStringList &arguments);
    void stopUpdater(bool crashed);
    void notifyEnded();
    // The process-wide client's part of beginUpdate; page is the object the page called.
    void announce(const QString &version, const QString &url, KavoUpdate *page);
    void reportEnd(QProcess *process, bool crashed);
    void dispatchError(const QString &version, const QString &error);
    static void dispatchErrorToAllPages(const QString &version, const QString &error);

    QPointer<BrowserWindow> m_window;
    QString m_version;
    QString m_url;
    QProcess *m_process = nullptr;
    std::function<void()> m_endedHandler;
};
