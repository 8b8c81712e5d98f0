#include "kavoupdate.h"

#include "core/appnames.h"
#include "core/fileutils.h"
#include "core/installjournal.h"
#include "core/messagebox.h"
#include "core/packagefile.h"
#include "core/processutils.h"
#include "core/updatearea.h"
#include "core/versions.h"

#include "browser/bridgelifetime.h"
#include "browser/browserwindow.h"
#include "browser/pageevent.h"
#include "download/downloadtasklog.h"
#include "core/config.h"
#include "core/logutils.h"
#include "core/updaterexit.h"
#include "zip/ziputils.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTimer>
#include <QVariant>

#include <algorithm>

#include <csignal>
#include <cstdio>
#include <utility>

namespace {
const char TaskLogName[] = "update.rdl";
const char PartialSuffix[] = ".lrdl";
const char KilledByClient[] = "kavoKilledByClient";
const char EndReported[] = "kavoEndReported";

KavoUpdate *&instanceSlot()
{
    static KavoUpdate *object = nullptr;
    return object;
}

// The objects published into pages, each with its window: where "kavo.update.error" goes.
QList<KavoUpdate *> &pageObjects()
{
    static QList<KavoUpdate *> objects;
    return objects;
}

// What the page reads in e.error when an update stops before the consent question.
QString endText(const QProcess *process, bool crashed)
{
    if (crashed)
        return QStringLiteral("升级程序意外退出!");
    if (process->error() == QProcess::FailedToStart)
        return QStringLiteral("启动Kavo.Update进程失败！");
    if (process->state() != QProcess::NotRunning)
        return QStringLiteral("升级程序已被结束!");
    switch (process->exitCode()) {
    case UpdaterExit::DownloadFailed:
        return QStringLiteral("升级包下载失败!");
    case UpdaterExit::SignatureMissing:
        return QStringLiteral("找不到升级包的签名!");
    case UpdaterExit::SignatureRejected:
        return QStringLiteral("升级包签名校验失败!");
    case UpdaterExit::UnpackFailed:
        return QStringLiteral("解压升级文件失败!");
    case UpdaterExit::NotNewer:
        return QStringLiteral("该版本不比当前版本新, 不能安装!");
    case UpdaterExit::WrongPackage:
        return QStringLiteral("升级包不属于本应用或与公布的版本不符!");
    default:
        return QStringLiteral("升级包未能准备好!");
    }
}

const char AlreadyInstalled[] = "该版本已经安装!";

// A crash of the updater itself takes its artefacts along: they may be what made it crash. A
// signal from another program (the user ending it, a shutdown, the system short of memory)
// only interrupts the download, which goes on at the next start. For a process ended by a
// signal, QProcess's exit code is the signal's number.
bool endedByFault(int exitCode, QProcess::ExitStatus exitStatus)
{
    if (exitStatus != QProcess::CrashExit)
        return false;
    switch (exitCode) {
    case SIGKILL:
    case SIGTERM:
    case SIGINT:
    case SIGHUP:
        return false;
    default:
        return true;
    }
}

QString errorName(QProcess::ProcessError error)
{
    static const char *const errorNames[] = {"QProcess::FailedToStart", "QProcess::Crashed", "QProcess::Timedout",
                                             "QProcess::WriteError",    "QProcess::ReadError", "QProcess::UnknownError"};
    const int code = int(error);
    if (code < 0 || code >= int(sizeof(errorNames) / sizeof(errorNames[0])))
        return QStringLiteral("未知异常代码");
    return QString::fromLatin1(errorNames[code]);
}

// A refusal leaves no trace in the update area, so it is told on standard error only.
void refuse(const QString &why)
{
    const QByteArray line = (QStringLiteral("KavoUpdate: ") + why + QLatin1Char('\n')).toUtf8();
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

// Removes a download that cannot be installed. Its "log.elf" stays: after a failed update it
// is the only record of what went wrong, and the restarted program would otherwise erase it.
void discardDownload(const QString &dir)
{
    // Backups of an interrupted installation are the only copy of the originals.
    if (InstallJournal::holdsInstallState(dir))
        return;
    const QFileInfoList entries = QDir(dir).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    bool keptLog = false;
    for (const QFileInfo &entry : entries) {
        if (entry.fileName() == QLatin1String("log.elf") && entry.isFile()) {
            keptLog = true;
            continue;
        }
        if (entry.isDir() && !entry.isSymLink())
            removeDir(entry.filePath());
        else
            removeFile(entry.filePath());
    }
    if (!keptLog)
        removeDir(dir);
}

// "data/update/<Name>" below the program's directory.
QString updateRoot()
{
    return absolutePath(QStringLiteral("data/update/") + appConfig().name());
}
} // namespace

KavoUpdate::KavoUpdate(BrowserWindow *window)
    : QObject(nullptr)
    , m_window(window)
{
    // The window publishes the object and owns it through its bridge list.
    if (window)
        pageObjects().append(this);
}

KavoUpdate::~KavoUpdate()
{
    // The updaters are children and are ended with this object; none may call back into it then.
    for (QProcess *process : findChildren<QProcess *>()) {
        process->disconnect(this);
        process->kill();
        process->waitForFinished(5000);
    }
    pageObjects().removeAll(this);
    if (instanceSlot() == this)
        instanceSlot() = nullptr;
}

int KavoUpdate::compareVersions(const QString &a, const QString &b)
{
    return ::compareVersions(a, b);
}

KavoUpdate *KavoUpdate::instance()
{
    KavoUpdate *&object = instanceSlot();
    if (!object) {
        object = new KavoUpdate();
        // Gone before the application object, so its updater process is released while Qt still runs.
        static const bool registered = (qAddPostRoutine(&KavoUpdate::destroyInstance), true);
        Q_UNUSED(registered);
    }
    return object;
}

void KavoUpdate::destroyInstance()
{
    delete instanceSlot();
    instanceSlot() = nullptr;
}

QString KavoUpdate::downloadDir() const
{
    if (m_version.isEmpty())
        return QString();
    const QString relative = UpdateArea::downloadDir(appConfig().name(), m_version);
    return relative.isEmpty() ? QString() : absolutePath(relative);
}

QString KavoUpdate::packageFileName() const
{
    return UpdateArea::packageFileName(m_url);
}

QProcess *KavoUpdate::process() const
{
    KavoUpdate *client = instanceSlot();
    return client ? client->m_process : nullptr;
}

void KavoUpdate::beginUpdate(const QString &version, const QString &description, const QString &url)
{
    Q_UNUSED(description);
    if (version.isEmpty() || url.isEmpty())
        return;
    // A failing start shows a message box, and the page may reload while it waits.
    const ModalCallGuard guard(this);
    // Both texts come from the page: a version that is not plain dotted numbers or a file name
    // such as ".." would make every path below point outside the update area.
    if (UpdateArea::downloadDir(appConfig().name(), version).isEmpty()
        || UpdateArea::packageFileName(url).isEmpty()) {
        refuse(QStringLiteral("refused: the version must be dotted decimal numbers and the package URL "
                              "must end in a file name"));
        return;
    }
    // An older version, even one its publisher signed, would take back what later ones mended;
    // a version that does not compare with the running one is not known to be newer. (The
    // running version itself is answered by the client, which also clears its download.)
    const QString running = appConfig().version();
    if (version != running && compareVersions(version, running) != 1) {
        refuse(QStringLiteral("refused: version %1 is not newer than the running version %2").arg(version, running));
        dispatchError(version, QStringLiteral("该版本不比当前版本 %1 新, 不能安装!").arg(running));
        return;
    }
    // The updater belongs to the process-wide client, so reloading or closing this page does
    // not end a download.
    KavoUpdate *client = instance();
    if (client != this) {
        m_version = version;
        m_url = url;
    }
    client->announce(version, url, this);
}

void KavoUpdate::announce(const QString &version, const QString &url, KavoUpdate *page)
{
    if (version == appConfig().version()) {
        // Already installed: what is left of its download has done its job (unless it still
        // holds the backups of an installation that could not be undone). A download of
        // another version that runs meanwhile is left alone.
        if (!m_process) {
            m_version = version;
            m_url = url;
            const QString dir = downloadDir();
            LogUtils::info(dir, QStringLiteral("准备升级"));
            if (!InstallJournal::holdsInstallState(dir))
                removeDir(dir);
            cleanupUpdater();
        }
        page->dispatchError(version, QString::fromUtf8(AlreadyInstalled));
        return;
    }
    // One updater at a time: a page announcing while it runs joins it and hears its end.
    if (m_process)
        return;
    m_version = version;
    m_url = url;
    LogUtils::info(downloadDir(), QStringLiteral("准备升级"));
    // The download-mode updater also takes a package downloaded earlier: it checks and
    // unpacks it and asks the user again, so nothing is installed without a yes in this run.
    startDownload();
}

void KavoUpdate::dispatchError(const QString &version, const QString &error)
{
    // Queued: the end may be noticed inside a page's own call to beginUpdate.
    const PageEvent::Event event = PageEvent::updateError(version, error);
    QTimer::singleShot(0, this, [this, event] {
        // A retired object's page is gone; the window shows the new page now.
        if (m_window && !BridgeLifetime::isRetired(this))
            m_window->raiseEvent(event);
    });
}

void KavoUpdate::dispatchErrorToAllPages(const QString &version, const QString &error)
{
    const QList<KavoUpdate *> pages = pageObjects();
    for (KavoUpdate *page : pages) {
        if (pageObjects().contains(page))
            page->dispatchError(version, error);
    }
}

// Once per download-mode updater: when it ended without leaving an unpacked package (the
// consent question comes only with one), every open page hears why.
void KavoUpdate::reportEnd(QProcess *process, bool crashed)
{
    if (!process || process->property(EndReported).toBool())
        return;
    process->setProperty(EndReported, true);
    const QStringList arguments = process->arguments();
    const int versionAt = arguments.indexOf(QStringLiteral("-version"));
    if (!arguments.contains(QStringLiteral("-beginUpdate")) || versionAt < 0 || versionAt + 1 >= arguments.size())
        return;
    const QString version = arguments.at(versionAt + 1);
    const QString relative = UpdateArea::downloadDir(appConfig().name(), version);
    if (relative.isEmpty())
        return;
    const QString unpacked = absolutePath(relative) + QStringLiteral("/tmp/") + Kavo::updaterExecutableName();
    if (!crashed && process->state() == QProcess::NotRunning && QFileInfo::exists(unpacked))
        return;
    dispatchErrorToAllPages(version, endText(process, crashed));
}

bool KavoUpdate::startDownload()
{
    // A second call while this object's updater is about must neither end nor replace it.
    if (m_process)
        return false;
    const QString dir = downloadDir();
    LogUtils::info(dir, QStringLiteral("准备下载新版本：") + m_version);
    const QString updater = Kavo::updaterExecutableName();
    // Only this installation's updaters: another installation's download is none of ours.
    killProcessByName(updater, applicationDir());
    if (isProcessRunning(updater, applicationDir()))
        return false;
    if (!QFileInfo::exists(absolutePath(updater))) {
        // Without the updater no update can happen: the pages hear it, not only the log.
        LogUtils::fatal(dir, QStringLiteral("找不到:") + absolutePath(updater) + QStringLiteral("文件！"));
        dispatchErrorToAllPages(m_version, QStringLiteral("启动Kavo.Update进程失败！"));
        return false;
    }
    return startUpdater(absolutePath(updater),
                        {QStringLiteral("-app"), appConfig().name(), QStringLiteral("-beginUpdate"), m_url,
                         QStringLiteral("-version"), m_version});
}

KavoUpdate::Pending KavoUpdate::startInstallation()
{
    if (m_process)
        return Pending::Ended;
    const QString dir = downloadDir();
    const QString tmp = dir + QStringLiteral("/tmp");
    const QString name = packageFileName();
    const QString package = dir + QLatin1Char('/') + name;
    // A tree without its package cannot be traced to anything that was checked.
    if (!QFileInfo::exists(package)) {
        discardDownload(dir);
        return Pending::Discarded;
    }
    // The updater records the digest of a package once it has checked (with a key configured,
    // its signature) and unpacked it. A package without the record has not been checked yet: it
    // stays for the updater, which checks it when a page announces the version again.
    const QByteArray recorded = PackageRecord::read(dir, name);
    if (recorded.isEmpty())
        return Pending::Waiting;
    // Unpacked afresh from the very bytes compared with the record, so neither a file put in
    // the package's place nor a tree altered since the check is what runs. The unpacking is
    // staged, so a failure leaves no "tmp".
    const PackageFile file(package);
    bool prepared = file.sha256() == recorded;
    if (prepared)
        prepared = ZipUtils::unzip(file.openPath(), tmp) && file.sha256() == recorded;
    else
        LogUtils::error(dir, QStringLiteral("升级包与校验时不同, 已丢弃: ") + package);
    const QString program = tmp + QLatin1Char('/') + Kavo::updaterExecutableName();
    if (prepared && QFileInfo::exists(program)) {
        return startUpdater(program,
                            {QStringLiteral("-app"), appConfig().name(), QStringLiteral("-version"), m_version,
                             QStringLiteral("-execUpdate")})
            ? Pending::Installing
            : Pending::Ended;
    }
    discardDownload(dir);
    return Pending::Discarded;
}

bool KavoUpdate::startUpdater(const QString &program, const QStringList &arguments)
{
    if (m_process)
        return false;
    const QString dir = downloadDir();
    if (!QFileInfo::exists(program)) {
        LogUtils::fatal(dir, QStringLiteral("找不到:") + program + QStringLiteral("文件！"));
        return false;
    }
    m_process = new QProcess(this);
    // The updater's diagnostics join this program's own; an unread pipe would stall it when full.
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->setWorkingDirectory(QFileInfo(program).absolutePath());
    connect(m_process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            &KavoUpdate::onProcessFinished);
    connect(m_process, &QProcess::errorOccurred, this, &KavoUpdate::onProcessError);
    connect(m_process, &QProcess::readyRead, this, &KavoUpdate::onProcessingReceivedData);
    QProcess *process = m_process;
    process->start(program, arguments, QIODevice::ReadWrite);
    if (process->waitForStarted(30000)) {
        // An updater that ends within its first second did not take up the job.
        const bool ended = process->waitForFinished(1000);
        return !ended && m_process == process;
    }
    const QString text = QStringLiteral("启动Kavo.Update进程失败！");
    showCriticalMessage(QStringLiteral("错误"), text);
    LogUtils::error(dir, text);
    stopUpdater(false);
    return false;
}

void KavoUpdate::stopUpdater(bool crashed)
{
    if (!m_process)
        return;
    LogUtils::info(downloadDir(), QStringLiteral("结束Update进程"));
    QProcess *process = m_process;
    m_process = nullptr;
    // Ended by this client, not crashed: its download stays for the next run.
    if (!crashed)
        process->setProperty(KilledByClient, true);
    reportEnd(process, crashed);
    process->kill();
    process->deleteLater();
    notifyEnded();
}

void KavoUpdate::notifyEnded()
{
    if (m_endedHandler)
        m_endedHandler();
}

void KavoUpdate::onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    const QString dir = downloadDir();
    const bool killedHere = sender() && sender()->property(KilledByClient).toBool();
    if (endedByFault(exitCode, exitStatus) && !killedHere && !dir.isEmpty()) {
        removeDir(dir + QStringLiteral("/tmp"));
        const QString name = packageFileName();
        if (!name.isEmpty()) {
            removeFile(dir + QLatin1Char('/') + name);
            // Without its task log the partial file could never be resumed.
            removeFile(dir + QLatin1Char('/') + name + QLatin1String(PartialSuffix));
        }
        removeFile(dir + QLatin1Char('/') + QLatin1String(TaskLogName));
        LogUtils::info(dir, QStringLiteral("启动Update下载进程崩溃!"));
    }
    LogUtils::info(dir, QStringLiteral("Update下载进程退出!"));
    // Finished or failed, the updater is done: the next announcement may start another.
    auto *process = qobject_cast<QProcess *>(sender());
    if (process && process == m_process) {
        m_process = nullptr;
        process->deleteLater();
    }
    reportEnd(process, exitStatus == QProcess::CrashExit && !killedHere);
    notifyEnded();
}

void KavoUpdate::onProcessError(QProcess::ProcessError error)
{
    LogUtils::fatal(downloadDir(), QStringLiteral("Update下载进程出现异常!\n原因: ") + errorName(error));
    stopUpdater(error == QProcess::Crashed);
}

void KavoUpdate::onProcessStarted()
{
}

void KavoUpdate::onProcessingReceivedData()
{
    if (!m_process)
        return;
    if (!m_process->readAll().isEmpty())
        stopUpdater(false);
}

void KavoUpdate::onConnectedToUpdate()
{
}

void KavoUpdate::cleanupUpdater()
{
    const QString version = appConfig().version();
    if (version.isEmpty())
        return;
    killProcessByName(Kavo::updaterExecutableName(), applicationDir());
    const QString relative = UpdateArea::downloadDir(appConfig().name(), version);
    if (!relative.isEmpty())
        removeDir(absolutePath(relative) + QStringLiteral("/tmp"));
}

bool KavoUpdate::resumePendingUpdate()
{
    const QString running = appConfig().version();
    // Only names that compare with the running version count; anything else is not ours to judge.
    QStringList newer;
    for (const QString &name : QDir(updateRoot()).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (compareVersions(name, running) == 1 && !UpdateArea::downloadDir(appConfig().name(), name).isEmpty())
            newer << name;
    }
    std::sort(newer.begin(), newer.end(),
              [](const QString &a, const QString &b) { return compareVersions(a, b) == 1; });

    // Newest first: a failed attempt is removed and the next older one tried, a download still
    // under way is kept for its next announcement, and once one is installing every older one
    // has been superseded.
    KavoUpdate *client = instance();
    Pending installed = Pending::Waiting;
    for (const QString &version : std::as_const(newer)) {
        const QString dir = absolutePath(UpdateArea::downloadDir(appConfig().name(), version));
        // A journal left here could not be repaired: nothing is installed over its backups,
        // and none of the downloads is judged until it is gone.
        if (InstallJournal::holdsInstallState(dir))
            break;
        if (installed == Pending::Installing) {
            discardDownload(dir);
            continue;
        }
        installed = client->installPendingDownload(version);
        // An updater that ended at once did not take up the job; whether it left anything half
        // done is for the next start to see, so nothing more is tried now.
        if (installed == Pending::Ended)
            break;
    }
    return installed == Pending::Installing;
}

// One download directory of an earlier run, as start-up finds it.
KavoUpdate::Pending KavoUpdate::installPendingDownload(const QString &version)
{
    const QString dir = absolutePath(UpdateArea::downloadDir(appConfig().name(), version));
    DownloadTaskLog log(dir + QLatin1Char('/') + QLatin1String(TaskLogName));
    QString message;
    DownloadTaskInfo task;
    const QString url = log.load(message) && log.getTask(0, task) ? task.url : QString();
    // A log that names no usable package leaves nothing that could be installed.
    if (url.isEmpty() || UpdateArea::packageFileName(url).isEmpty()) {
        discardDownload(dir);
        return Pending::Discarded;
    }
    const QString partial = dir + QLatin1Char('/') + UpdateArea::packageFileName(url) + QLatin1String(PartialSuffix);
    if (!QFileInfo::exists(dir + QStringLiteral("/tmp")) && QFileInfo::exists(partial))
        return Pending::Waiting;
    m_url = url;
    m_version = version;
    return startInstallation();
}

bool KavoUpdate::repairInterruptedInstallation(EndedUpdate *ended, QString *unreadable)
{
    testKillPoint("main");
    QList<InstallRepair::Outcome> outcomes;
    QString problem;
    const InstallRepair::Result result = InstallRepair::repairInterrupted(applicationDir(), &outcomes, &problem);
    if (result == InstallRepair::Result::Unreadable && unreadable)
        *unreadable = problem;
    if (result == InstallRepair::Result::Busy || result == InstallRepair::Result::Unreadable)
        return false;
    if (ended && !outcomes.isEmpty()) {
        ended->known = true;
        ended->success = outcomes.last().installed;
        ended->version = outcomes.last().version;
    }
    return true;
}
