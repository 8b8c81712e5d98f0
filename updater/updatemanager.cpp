#include "updater/updatemanager.h"

#include "core/appnames.h"
#include "core/fileutils.h"
#include "core/installjournal.h"
#include "core/messagebox.h"
#include "core/packagefile.h"
#include "core/processutils.h"
#include "core/updatearea.h"
#include "download/downloadtasklog.h"
#include "download/httpdownloadmanager.h"
#include "core/logutils.h"
#include "core/config.h"
#include "core/updaterexit.h"
#include "core/versions.h"
#include "updater/consent.h"
#include "updater/packagesignature.h"
#include "updater/updatedialog.h"
#include "zip/zipdecompress.h"

#include <csignal>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>
#include <QUrl>

#include <cstdio>
#include <unistd.h>

namespace {
const int DefaultConnections = 5;
const char TaskLogName[] = "update.rdl";

// Errors after which the partial file can never be resumed: the next start must begin afresh.
bool isUnresumable(const NetworkError &error)
{
    const QString text = error.errorString();
    return text == QLatin1String("Resume assert fileSize or path failed!")
        || text == QLatin1String("Read download log error!")
        || text.startsWith(QLatin1String("Read content update.rdl file failed:"));
}

// OpenSSL's own variable for an extra trust store (a company or test authority): Qt reads
// only the system's certificate folders, so the certificates are added here, before any
// connection exists. Certificate errors still fail a download; nothing is ever ignored.
void trustCertificatesFromEnvironment()
{
    const QString file = qEnvironmentVariable("SSL_CERT_FILE");
    if (file.isEmpty())
        return;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    const QList<QSslCertificate> certificates = QSslCertificate::fromPath(file, QSsl::Pem);
    if (certificates.isEmpty())
        return;
    configuration.addCaCertificates(certificates);
    QSslConfiguration::setDefaultConfiguration(configuration);
}

void refuse(const QString &why)
{
    const QByteArray line = (QStringLiteral("Kavo.Update: ") + why + QLatin1Char('\n')).toUtf8();
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
}
} // namespace

UpdateManager::UpdateManager(QObject *parent)
    : QObject(parent)
    // Taken once: after the installation removes "tmp", the running file no longer exists.
    , m_appDir(applicationDir())
{
}

UpdateManager::~UpdateManager()
{
    // Deleting the manager stops its workers and waits for their threads.
    delete m_downloadManager;
    delete m_window;
    delete m_signatureNetwork;
}

QString UpdateManager::value(const QString &key, const QString &defaultValue) const
{
    const QStringList values = m_arguments.value(key);
    return values.isEmpty() ? defaultValue : values.first();
}

QString UpdateManager::downloadDir() const
{
    const QString app = value(QStringLiteral("-app"));
    const QString version = value(QStringLiteral("-version"));
    if (app.isEmpty() || version.isEmpty())
        return QString();
    // Refused names never become a path, so nothing outside the update area is touched.
    const QString relative = UpdateArea::downloadDir(app, version);
    if (relative.isEmpty())
        return QString();
    if (m_arguments.contains(QStringLiteral("-beginUpdate")))
        return downloadFileName().isEmpty() ? QString() : absolutePath(relative);
    // Execute mode runs from the "tmp" below the download directory.
    const QString dir = m_appDir;
    if (!dir.endsWith(QLatin1Char('/') + relative + QStringLiteral("/tmp")))
        return QString();
    return dir.left(dir.lastIndexOf(QLatin1Char('/')));
}

QString UpdateManager::downloadFileName() const
{
    if (m_arguments.contains(QStringLiteral("-beginUpdate")))
        return UpdateArea::packageFileName(value(QStringLiteral("-beginUpdate")));
    const QString dir = downloadDir();
    if (m_arguments.contains(QStringLiteral("-execUpdate"))) {
        DownloadTaskLog log(dir + QLatin1Char('/') + QLatin1String(TaskLogName));
        QString message;
        DownloadTaskInfo task;
        if (dir.isEmpty() || !log.load(message) || !log.getTask(0, task)) {
            LogUtils::warn(dir, QStringLiteral("downloadFileName获取升级安装包名失败！"));
            return QString();
        }
        return UpdateArea::packageFileName(task.url);
    }
    LogUtils::warn(dir, QStringLiteral("downloadFileName未知参数错误！"));
    return QString();
}

QString UpdateManager::runningVersion() const
{
    return readAppValue(installationRoot() + QStringLiteral("/qt.conf"), value(QStringLiteral("-app")),
                        QStringLiteral("Version"));
}

// Only a version above the running one is ever fetched or installed: an older package, even
// one its publisher signed, would take back what a later version mended.
bool UpdateManager::isNewerThanRunning() const
{
    return compareVersions(value(QStringLiteral("-version")), runningVersion()) == 1;
}

// The unpacked package's own qt.conf names the application and the version it is: a package of
// another application (sharing the signing key) or of another version is not what was announced.
QString UpdateManager::unpackedPackageMismatch(const QString &unpackedDir) const
{
    const QString conf = unpackedDir + QStringLiteral("/qt.conf");
    const QString app = value(QStringLiteral("-app"));
    const QString version = value(QStringLiteral("-version"));
    const QString packageApp = readAppValue(conf, QStringLiteral("System"), QStringLiteral("App"));
    const QString packageVersion = packageApp.isEmpty() ? QString() : readAppValue(conf, packageApp, QStringLiteral("Version"));
    if (packageApp == app && compareVersions(packageVersion, version) == 0)
        return QString();
    return QStringLiteral("升级包与公布的应用或版本不符: 升级包为 \"%1\" %2, 公布的是 \"%3\" %4")
        .arg(packageApp, packageVersion, app, version);
}

void UpdateManager::run()
{
    if (m_arguments.isEmpty())
        return;
    m_exiting = false;
    // Refused before anything is written: no trace of an older version in the update area.
    if (m_arguments.contains(QStringLiteral("-beginUpdate")) && !downloadDir().isEmpty() && !isNewerThanRunning()) {
        refuse(QStringLiteral("refused: version %1 is not newer than the running version %2")
                   .arg(value(QStringLiteral("-version")), runningVersion()));
        m_exitCode = UpdaterExit::NotNewer;
        exitRoutine(false);
        return;
    }
    LogUtils::info(downloadDir(), QStringLiteral("启动Update下载进程成功!"));
    repairInterruptedInstallation();
    if (m_arguments.contains(QStringLiteral("-beginUpdate")))
        runDownloadMode();
    else if (m_arguments.contains(QStringLiteral("-execUpdate")))
        runExecuteMode();
}

void UpdateManager::exitRoutine(bool logged)
{
    if (m_exiting)
        return;
    m_exiting = true;
    if (logged)
        LogUtils::info(downloadDir(), QStringLiteral("退出Update下载进程！"));
    // Queued, so no signal of the download engine is still on the stack when it is deleted.
    QTimer::singleShot(0, this, [this] {
        delete m_downloadManager;
        m_downloadManager = nullptr;
        delete m_window;
        QCoreApplication::exit(m_exitCode);
    });
}

void UpdateManager::replaceWindow(QObject *window)
{
    delete m_window;
    m_window = window;
}

QString UpdateManager::installationRoot() const
{
    const QString root = UpdateArea::applicationRoot(m_appDir);
    return root.isEmpty() ? m_appDir : root;
}

// An installation that a kill interrupted is put back before this run touches anything.
void UpdateManager::repairInterruptedInstallation()
{
    InstallRepair::repairInterrupted(installationRoot());
}

// ---- download mode ----

void UpdateManager::runDownloadMode()
{
    trustCertificatesFromEnvironment();
    const QString dir = downloadDir();
    const QString name = downloadFileName();
    if (dir.isEmpty() || name.isEmpty()) {
        refuse(QStringLiteral("refused: the application name, version and package URL must be plain names"));
        exitRoutine();
        return;
    }
    // A package already here was announced again: it is checked, unpacked and the user asked again.
    if (QFileInfo::exists(dir + QLatin1Char('/') + name)) {
        prepareDownloadedPackage();
        return;
    }
    // An unpacked tree and its record only ever stand beside the package they came from.
    removeDir(dir + QStringLiteral("/tmp"));
    removeFile(PackageRecord::path(dir));
    if (QFileInfo::exists(dir + QLatin1Char('/') + QLatin1String(TaskLogName)))
        resumeDownload();
    else
        newDownload();
}

void UpdateManager::discardPartialDownload()
{
    const QString dir = downloadDir();
    removeFile(dir + QLatin1Char('/') + downloadFileName() + QStringLiteral(".lrdl"));
    removeFile(dir + QLatin1Char('/') + QLatin1String(TaskLogName));
}

void UpdateManager::newDownload()
{
    const QString dir = downloadDir();
    // A partial file that no task log describes cannot be resumed; left alone it would block
    // every later run.
    discardPartialDownload();
    if (!makeDir(dir)) {
        showCriticalMessage(QStringLiteral("错误"), QStringLiteral("无法创建下载路径"));
        exitRoutine();
        return;
    }
    LogUtils::info(dir, QStringLiteral("开始下载!"));
    startDownload(value(QStringLiteral("-beginUpdate")), dir, DefaultConnections);
}

void UpdateManager::resumeDownload()
{
    const QString dir = downloadDir();
    const QString url = value(QStringLiteral("-beginUpdate"));
    DownloadTaskLog log(dir + QLatin1Char('/') + QLatin1String(TaskLogName));
    QString message;
    if (!log.load(message)) {
        LogUtils::error(dir, message);
        newDownload();
        return;
    }
    // Only a task for this very URL and package file is resumed; anything else in the log
    // would write to a place the page never named.
    DownloadTaskInfo task;
    const QString target = QDir::cleanPath(dir + QLatin1Char('/') + downloadFileName());
    if (!log.getTask(url, task) || QDir::cleanPath(task.savePath) != target) {
        newDownload();
        return;
    }
    LogUtils::info(dir, QStringLiteral("任务已存在继续下载!"));
    startDownload(task.url, dir, task.threadCount > 0 ? task.threadCount : DefaultConnections);
}

void UpdateManager::startDownload(const QString &url, const QString &path, int count)
{
    if (url.isEmpty() || path.isEmpty())
        return;
    const QString target = absolutePath(path);
    delete m_downloadManager;
    replaceWindow(nullptr);
    m_downloadManager = new HttpDownloadManager(this);
    connect(m_downloadManager, &HttpDownloadManager::finished, this, &UpdateManager::onTaskFinished);
    m_downloadManager->addTask(url, target, count);
    m_downloadManager->startTask(url);
}

void UpdateManager::onTaskFinished(const QString &url, const NetworkError &error)
{
    const QString dir = downloadDir();
    if (error.hasError()) {
        LogUtils::fatal(dir, QStringLiteral("下载失败!\n     Url:%0, Reason:%1").arg(url, error.toString()));
        if (isUnresumable(error) && !m_restartedFresh) {
            // The file changed on the server or the log does not match: start once afresh.
            m_restartedFresh = true;
            QTimer::singleShot(0, this, &UpdateManager::newDownload);
            return;
        }
        // The partial file and its task log stay, so the next run resumes where this one stopped.
        if (isUnresumable(error))
            discardPartialDownload();
        m_exitCode = UpdaterExit::DownloadFailed;
        removeFile(dir + QLatin1Char('/') + downloadFileName());
        removeDir(dir + QStringLiteral("/tmp"));
        exitRoutine();
        return;
    }
    LogUtils::info(dir, QStringLiteral("下载成功!\n     Url:") + url);
    prepareDownloadedPackage();
}

// With a key in the installation's qt.conf, nothing of a package is unpacked before its
// signature (package URL + ".sig") has been fetched and checked; without one, packages are
// taken as they come.
void UpdateManager::prepareDownloadedPackage()
{
    const QString key = readUpdatePublicKey(m_appDir + QStringLiteral("/qt.conf"), value(QStringLiteral("-app")));
    if (key.isEmpty()) {
        unpackAndAsk();
        return;
    }
    LogUtils::info(downloadDir(), QStringLiteral("正在校验升级包签名..."));
    delete m_signatureNetwork;
    m_signatureNetwork = new QNetworkAccessManager(this);
    QNetworkRequest request(QUrl(value(QStringLiteral("-beginUpdate")) + QStringLiteral(".sig")));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(30000);
    m_signatureText.clear();
    QNetworkReply *reply = m_signatureNetwork->get(request);
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
        m_signatureText += reply->read(PackageSignature::MaxSignatureText + 1);
        // A signature is one short line; anything longer is not one and is not read further.
        if (m_signatureText.size() > PackageSignature::MaxSignatureText)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { checkSignature(reply); });
}

void UpdateManager::checkSignature(QNetworkReply *reply)
{
    reply->disconnect(this);
    reply->deleteLater();
    const QString dir = downloadDir();
    const QString sigUrl = reply->url().toString();
    const bool oversized = m_signatureText.size() > PackageSignature::MaxSignatureText;
    if (!oversized && reply->error() != QNetworkReply::NoError) {
        refusePackage(UpdaterExit::SignatureMissing, QStringLiteral("找不到升级包签名!\n     Url:%0, Reason:%1")
                                                         .arg(sigUrl, reply->errorString()));
        return;
    }
    // Whatever came last; a text cut off at the bound stays over it and is refused.
    if (!oversized)
        m_signatureText += reply->read(PackageSignature::MaxSignatureText + 1 - m_signatureText.size());
    m_signatureUrl = sigUrl;
    unpackAndAsk();
}

// A package that fails its check is never kept: the next announcement downloads afresh.
void UpdateManager::refusePackage(int exitCode, const QString &message)
{
    const QString dir = downloadDir();
    LogUtils::error(dir, message);
    removeFile(dir + QLatin1Char('/') + downloadFileName());
    removeFile(PackageRecord::path(dir));
    discardPartialDownload();
    removeDir(dir + QStringLiteral("/tmp"));
    m_exitCode = exitCode;
    exitRoutine();
}

void UpdateManager::unpackAndAsk()
{
    const QString dir = downloadDir();
    const QString archive = dir + QLatin1Char('/') + downloadFileName();
    // The signature, the digest and the unpacking all read this one open file: a file renamed
    // over the package meanwhile is neither checked nor unpacked.
    const PackageFile package(archive);
    const QByteArray digest = package.sha256();
    if (digest.isEmpty()) {
        LogUtils::error(dir, QStringLiteral("无法打开升级文件!:\n") + archive);
        if (!InstallJournal::holdsInstallState(dir))
            removeDir(dir);
        m_exitCode = UpdaterExit::UnpackFailed;
        exitRoutine();
        return;
    }
    const QString key = readUpdatePublicKey(m_appDir + QStringLiteral("/qt.conf"), value(QStringLiteral("-app")));
    if (!key.isEmpty()) {
        const PackageSignature::Result result = PackageSignature::verify(package.openPath(), m_signatureText, key);
        if (result != PackageSignature::Valid) {
            const int code = result == PackageSignature::MissingSignature ? UpdaterExit::SignatureMissing
                                                                           : UpdaterExit::SignatureRejected;
            refusePackage(code, QStringLiteral("升级包签名校验失败!\n     Url:%0, Reason:%1")
                                    .arg(m_signatureUrl, PackageSignature::describe(result)));
            return;
        }
        LogUtils::info(dir, QStringLiteral("升级包签名校验成功!"));
    }
    const Unpacked unpacked = unpack(package, digest);
    if (unpacked == Unpacked::Changed) {
        refusePackage(UpdaterExit::UnpackFailed, QStringLiteral("升级文件在校验后被改动, 已丢弃!"));
        return;
    }
    if (unpacked != Unpacked::Done) {
        m_exitCode = UpdaterExit::UnpackFailed;
        exitRoutine();
        return;
    }
    const QString mismatch = unpackedPackageMismatch(downloadDir() + QStringLiteral("/tmp"));
    if (!mismatch.isEmpty()) {
        refusePackage(UpdaterExit::WrongPackage, mismatch);
        return;
    }
    askConsent();
}

UpdateManager::Unpacked UpdateManager::unpack(const PackageFile &package, const QByteArray &digest)
{
    const QString dir = downloadDir();
    LogUtils::info(dir, QStringLiteral("正在解压升级文件..."));
    const QString archive = dir + QLatin1Char('/') + downloadFileName();
    const QString tmp = dir + QStringLiteral("/tmp");
    // A record of an earlier package never stands beside this one's unpacking.
    removeFile(PackageRecord::path(dir));
    ZipDecompress zip;
    if (zip.open(package.openPath()) != ZipDecompress::Ok) {
        LogUtils::error(dir, QStringLiteral("无法打开升级文件!:\n") + archive);
        // Backups of an interrupted installation are never discarded with it.
        if (!InstallJournal::holdsInstallState(dir))
            removeDir(dir);
        return Unpacked::Failed;
    }
    removeDir(tmp);
    makeDir(tmp);
    testKillPoint("unpack");
    const int result = zip.extractAll(tmp);
    zip.close();
    if (result != ZipDecompress::Ok) {
        LogUtils::error(dir, QStringLiteral("解压升级文件失败!:\n") + archive);
        // A half-filled "tmp" must never be installed by a later start.
        removeDir(tmp);
        return Unpacked::Failed;
    }
    // What was unpacked is what was checked: the same open file, hashed again.
    if (package.sha256() != digest) {
        removeDir(tmp);
        return Unpacked::Changed;
    }
    if (!PackageRecord::write(dir, downloadFileName(), digest)) {
        LogUtils::error(dir, QStringLiteral("无法记录升级包的校验值: ") + PackageRecord::path(dir));
        removeDir(tmp);
        return Unpacked::Failed;
    }
    LogUtils::info(dir, QStringLiteral("解压升级文件成功!"));
    return Unpacked::Done;
}

void UpdateManager::askConsent()
{
    const QString app = value(QStringLiteral("-app"));
    const QString title = readAppValue(m_appDir + QStringLiteral("/qt.conf"), app, QStringLiteral("Title"));
    QString text = QStringLiteral("   \"%0\"新版本%1已经下载完成, 是否退出程序立即更新？更新完毕后将自动启动新版程序。")
                       .arg(title.isEmpty() ? app : title, value(QStringLiteral("-version")));
    // The user sees where the package came from before saying yes. The encoded form shows an
    // internationalised name as its ASCII form, so no look-alike letters pass for a known host.
    const QString host = QUrl(value(QStringLiteral("-beginUpdate"))).host(QUrl::FullyEncoded);
    if (!host.isEmpty())
        text += QStringLiteral("（来自 %1）").arg(host);
    QObject *alert = showUpdateConsent(QStringLiteral("升级"), text, this, [this](int cmd) { onDesktopAlertCmd(cmd); });
    // The notification has no parent and is not the manager's window; it ends with the process.
    Q_UNUSED(alert);
}

void UpdateManager::onDesktopAlertCmd(int cmd)
{
    if (m_exiting)
        return;
    if (cmd != 0) {
        exitRoutine();
        return;
    }
    const QString dir = downloadDir();
    const QString exe = Kavo::updaterExecutableName();
    const QString target = dir + QStringLiteral("/tmp/") + exe;
    if (!QFileInfo::exists(target))
        copyFile(m_appDir + QLatin1Char('/') + exe, target);
    // The question may have waited long: the package is checked against its record once more.
    if (!PackageRecord::matches(dir, downloadFileName())) {
        LogUtils::error(dir, QStringLiteral("升级文件在校验后被改动, 不安装!"));
    } else if (!QFileInfo::exists(target)) {
        LogUtils::error(dir, QStringLiteral("找不到新版本的Update更新文件!"));
    } else {
        const QStringList arguments{QStringLiteral("-app"), value(QStringLiteral("-app")), QStringLiteral("-version"),
                                    value(QStringLiteral("-version")), QStringLiteral("-execUpdate")};
        if (!QProcess::startDetached(target, arguments, dir + QStringLiteral("/tmp")))
            LogUtils::warn(dir, QStringLiteral("无法打开Kavo.Update.exe!"));
    }
    exitRoutine();
}

// ---- execute mode ----

void UpdateManager::runExecuteMode()
{
    const QString dir = downloadDir();
    const QString root = UpdateArea::applicationRoot(m_appDir);
    if (dir.isEmpty() || root.isEmpty()) {
        refuse(QStringLiteral("refused: execute mode runs only from data/update/<app>/<version>/tmp"));
        exitRoutine();
        return;
    }
    // Checked again before anything is ended: this tree may have lain here since another run.
    if (!isNewerThanRunning()) {
        LogUtils::error(dir, QStringLiteral("不能安装不高于当前版本 %1 的版本 %2!")
                                 .arg(runningVersion(), value(QStringLiteral("-version"))));
        exitRoutine();
        return;
    }
    const QString mismatch = unpackedPackageMismatch(m_appDir);
    if (!mismatch.isEmpty()) {
        LogUtils::error(dir, mismatch);
        exitRoutine();
        return;
    }
    // Only a tree unpacked from the checked package, which is still byte for byte what was checked.
    if (!PackageRecord::matches(dir, downloadFileName())) {
        LogUtils::error(dir, QStringLiteral("升级文件在校验后被改动, 不安装!"));
        exitRoutine();
        return;
    }
    // Only this installation's programs are ended, never another installation's.
    const bool mainEnded = killProcessByName(Kavo::mainExecutableName(), root);
    killProcessByName(Kavo::updaterExecutableName(), root);
    if (!mainEnded) {
        LogUtils::fatal(dir, QStringLiteral("无法结束 Kavo.V5.exe 升级失败!"));
        exitRoutine();
        return;
    }
    QTimer::singleShot(1000, this, &UpdateManager::installNow);
}

void UpdateManager::installNow()
{
    const QString dir = downloadDir();
    LogUtils::info(dir, QStringLiteral("开始执行更新..."));
    // Held until the new program is started: a start meanwhile leaves the journal to this run.
    m_installLock = std::make_unique<InstallLock>(installationRoot());
    if (!m_installLock->tryLock()) {
        LogUtils::error(dir, QStringLiteral("另一个升级程序正在安装!"));
        exitRoutine();
        return;
    }
    // Without a key in the installation's qt.conf any package is taken, whoever made it.
    if (readUpdatePublicKey(installationRoot() + QStringLiteral("/qt.conf"), value(QStringLiteral("-app"))).isEmpty())
        LogUtils::warn(dir, QStringLiteral("安装未签名的升级包: qt.conf 中没有 UpdatePublicKey, 升级包未经签名校验!"));
    auto *dialog = new UpdateDialog();
    replaceWindow(dialog);
    connect(dialog, &UpdateDialog::updateFinished, this, &UpdateManager::onUpdateFinished);
    dialog->start();
}

void UpdateManager::startMainProgram(bool success)
{
    const QString root = UpdateArea::applicationRoot(m_appDir);
    const QString program = root + QLatin1Char('/') + Kavo::mainExecutableName();
    const QStringList arguments{QStringLiteral("-endUpdate"), QStringLiteral("-state"),
                                success ? QStringLiteral("Success") : QStringLiteral("Failed"),
                                QStringLiteral("-version"), value(QStringLiteral("-version"))};
    if (!QProcess::startDetached(program, arguments, root))
        LogUtils::warn(downloadDir(), QStringLiteral("无法打开Kavo.V5.exe!"));
}

void UpdateManager::onUpdateFinished(bool bSuc)
{
    const QString dir = downloadDir();
    if (UpdateArea::applicationRoot(m_appDir).isEmpty()) {
        LogUtils::error(dir, QStringLiteral("升级失败, 升级结束!"));
        exitRoutine();
        return;
    }
    LogUtils::info(dir, bSuc ? QStringLiteral("升级成功,升级结束!") : QStringLiteral("升级失败, 升级结束!"));
    // Cleaned before the restart: the new program's own start-up clean-up would otherwise
    // race with this one and end this process half-way.
    cleanup();
    // The journal stays for the restarted program, which tells its page how the update ended
    // (also when this process is killed before it starts it).
    const InstallJournal journal(dir);
    if (bSuc)
        removeDir(journal.backupDir());
    testKillPoint("restart");
    m_installLock.reset();
    // After a failure the restored old program starts and tells the page.
    startMainProgram(bSuc);
    // The restarted program's start-up ends every updater of this installation. This one has
    // nothing left but to end, so it ends by itself (its exit code tells how the update went)
    // instead of dying of that signal while it is still on its way out.
    ::signal(SIGTERM, SIG_IGN);
    exitRoutine();
}

void UpdateManager::cleanup()
{
    const QString dir = downloadDir();
    if (dir.isEmpty())
        return;
    const QString name = downloadFileName();
    if (!name.isEmpty())
        removeFile(dir + QLatin1Char('/') + name);
    removeFile(dir + QLatin1Char('/') + QLatin1String(TaskLogName));
    removeFile(PackageRecord::path(dir));
    removeDir(dir + QStringLiteral("/tmp"));
}

// ---- command input ----

void UpdateManager::onReceivedData(QByteArray data)
{
    const int end = data.indexOf('\0');
    const QString text = QString::fromUtf8(end < 0 ? data : data.left(end));
    m_arguments = ArgmentParser::parse(text);
    run();
}

void UpdateManager::onReadData(int fd)
{
    if (!m_input || fd != m_input->handle())
        return;
    char buffer[1024];
    const ssize_t count = ::read(fd, buffer, sizeof(buffer));
    if (count <= 0)
        return;
    QByteArray data(buffer, int(count));
    data.append('\0');
    onReceivedData(data);
}
