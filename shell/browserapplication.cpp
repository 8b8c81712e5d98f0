#include "browserapplication.h"

#include "browser/webview.h"
#include "browser/browsercontext.h"
#include "browser/browserwindow.h"
#include "browser/pagemanager.h"
#include "core/appnames.h"
#include "widgets/desktopalertwidget.h"
#include "core/fileutils.h"
#include "core/fileversion.h"
#include "browser/host.h"
#include "bridge/kavoupdate.h"
#include "core/messagebox.h"
#include "browser/pageevent.h"
#include "core/argmentparser.h"
#include "core/versions.h"
#include "network/cookiejar.h"
#include "network/networkaccessmanager.h"
#include "network/userfolders.h"
#include "core/config.h"
#include "browser/pluginloader.h"
#include "core/startup.h"
#include "core/stylesheet.h"
#include "shell/trayicon.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <QDateTime>
#include <QDesktopServices>
#include <QFileInfo>
#include <QNetworkDiskCache>
#include <QScreen>
#include <QSocketNotifier>
#include <QUrl>

#include <csignal>
#include <cstdio>

#include <sys/socket.h>
#include <unistd.h>

namespace {
const QString errorTitle = QStringLiteral("错误");
const QString systemTitle = QStringLiteral("系统提示");

void openVendorSite()
{
    const QUrl vendor(QStringLiteral(KAVO_VENDOR_URL));
    // Unattended runs report the address instead of starting a browser nobody looks at.
    if (isNonInteractive()) {
        std::fprintf(stderr, "openUrl: %s\n", vendor.toString().toUtf8().constData());
        return;
    }
    QDesktopServices::openUrl(vendor);
}

// Takes over a cookie store from where an earlier version kept it, so nobody's sessions are lost.
// A store of the program's own folder was shared by every application of this user: each one
// takes a copy and the shared store stays for the others.
void adoptCookieStore(const QString &oldStore, bool keepOld)
{
    const QString newStore = CookieJar::storePath();
    if (oldStore == newStore || !QFileInfo::exists(oldStore) || QFileInfo::exists(newStore))
        return;
    QDir().mkpath(QFileInfo(newStore).path());
    if (keepOld) {
        // The copy keeps the store's owner-only mode.
        QFile::copy(oldStore, newStore);
        return;
    }
    if (!QFile::rename(oldStore, newStore) && QFile::copy(oldStore, newStore))
        QFile::remove(oldStore);
}
} // namespace

BrowserApplication::BrowserApplication(int &argc, char **argv)
    : QApplication(argc, argv)
    , m_httpServer(applicationDir())
{
    m_startClock.start();
    // Settings go to "Kavo/Kavo.V5" in the user's folders, cookies and the disk cache to a folder
    // of each application below it; before the organisation was named, the data folder was
    // "Kavo.V5" alone.
    setApplicationName(Kavo::mainExecutableName());
    const QString unnamedDataDirectory = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    setOrganizationName(QStringLiteral("Kavo"));
    adoptCookieStore(unnamedDataDirectory + QStringLiteral("/cookies.ini"), false);
}

BrowserApplication::~BrowserApplication()
{
    BrowserContext::setTrayProbe(nullptr);
    delete m_trayIcon;
    m_trayIcon = nullptr;
    BrowserContext::releaseNetworkAccessManager();
}

BrowserWindow *BrowserApplication::firstWindow() const
{
    return m_firstWindow.data();
}

NetworkAccessManager *BrowserApplication::networkAccessManager()
{
    return BrowserContext::networkAccessManager();
}

bool BrowserApplication::init()
{
    // 1. Codecs, Qt's own texts and the creator tables.
    installSystemCodec();
    installQtTranslations();
    CookieJar::setPrivateBrowsingProbe([] { return WebView::isPrivateBrowsing(); });
    if (!Host::instance().init()) {
        showCriticalMessage(errorTitle, QStringLiteral("Host初始化失败"));
        return false;
    }
    // 2. Configuration and the instance guard.
    // An installation that a kill interrupted is finished or undone before anything reads it,
    // qt.conf included.
    QString unreadableJournal;
    if (!KavoUpdate::repairInterruptedInstallation(&m_repairedUpdate, &unreadableJournal)) {
        if (!unreadableJournal.isEmpty()) {
            showCriticalMessage(errorTitle, QStringLiteral("升级安装记录无法读取, 程序文件可能新旧混杂, 不能启动。\n"
                                                           "请重新安装本程序。\n")
                                                + unreadableJournal);
            return false;
        }
        std::fprintf(stderr, "an update is being installed: this start yields to it\n");
        return false;
    }
    if (!loadAppConfig())
        return false;
    traceStartup("config");
    // 3. IM plug-ins.
    loadPlugins();
    traceStartup("plugins");
    // 4. Style sheet.
    if (!loadStyleSheet())
        return false;
    // 5. The updater belongs to the installation.
    if (!checkUpdater())
        return false;
    // 6. An update downloaded earlier is installed before any window opens.
    if (resumePendingUpdate())
        return true;
    // 7. The main executable matches the updater.
    checkMainExecutable();
    traceStartup("installation");
    // 8. The update area is cleaned.
    KavoUpdate::cleanupUpdater();
    // 9. The local server.
    if (!startServer())
        return false;
    traceStartup("server");
    // 10. The tray icon of application mode.
    createTrayIcon();
    // 11-13. The first window.
    createFirstWindow();
    // 14. Hand-over from the updater.
    handleEndOfUpdate();
    quitOnSignals();
    traceStartup("init");
    return true;
}

namespace {
int quitSignalPipe[2] = {-1, -1};

void onQuitSignal(int)
{
    const char byte = 1;
    // Only async-signal-safe calls here; a full pipe already holds a request.
    [[maybe_unused]] const ssize_t written = ::write(quitSignalPipe[1], &byte, 1);
}
} // namespace

// A logout, the installer or `kill` end the program as the tray's exit does, so the engine
// writes what pages stored (localStorage, cookies) before the process goes.
void BrowserApplication::quitOnSignals()
{
    if (quitSignalPipe[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, quitSignalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(quitSignalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this, notifier] {
        char byte;
        while (::read(quitSignalPipe[0], &byte, 1) > 0) {
        }
        notifier->setEnabled(false);
        onExitApp();
    });
    struct sigaction action = {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGHUP, SIGINT})
        ::sigaction(signal, &action, nullptr);
}

bool BrowserApplication::loadAppConfig()
{
    if (!appConfig().load(QStringLiteral("qt.conf"))) {
        // The box keeps its one sentence; the log says which file, key and value, and why.
        qWarning("读取配置文件出错: %s", qUtf8Printable(appConfig().errorString()));
        showCriticalMessage(errorTitle, QStringLiteral("读取配置文件出错!"));
        return false;
    }
    const QString sharedCookieStore = CookieJar::storePath();
    UserFolders::setApplication(appConfig().name());
    adoptCookieStore(sharedCookieStore, true);
    m_webRoot = QStringLiteral("http://localhost:%1/data/").arg(serverPort()) + appConfig().name();
    BrowserContext::setWebRoot(m_webRoot);
    // Nothing is trusted before the server holds its addresses (startServer).
    BrowserContext::setTrustedOrigins(QStringList());
    return ensureSingleInstance();
}

quint16 BrowserApplication::serverPort()
{
    return appConfig().port();
}

bool BrowserApplication::startServer()
{
    const QHostAddress address(appConfig().serverAddress());
    // The names pages reach the server by: each address they lead to must be this server's.
    QStringList hostNames{QUrl(m_webRoot).host()};
    const QUrl startUrl = appConfig().url();
    if (startUrl.scheme() == QLatin1String("http") && startUrl.port(80) == serverPort()
        && !hostNames.contains(startUrl.host(), Qt::CaseInsensitive))
        hostNames.append(startUrl.host());
    if (m_httpServer.listen(address, serverPort(), hostNames)) {
        BrowserContext::setTrustedOrigins(BrowserContext::applicationOrigins(
            serverPort(), m_httpServer.heldOrigins(), startUrl, appConfig().trustedOrigins()));
        warnAboutPlainOrigins();
        return true;
    }
    // Another program (or another Kavo application) on the port must not look like a silent crash.
    const QString text = m_httpServer.serverError() == QAbstractSocket::AddressInUseError
        ? QStringLiteral("本地服务器的端口%1已被其他程序占用，程序无法启动。").arg(serverPort())
        : QStringLiteral("本地服务器无法在%1:%2上启动：%3")
              .arg(address.toString())
              .arg(serverPort())
              .arg(m_httpServer.errorString());
    showCriticalMessage(errorTitle, text);
    return false;
}

// Kept working as configured, but said once: whoever is on the way to such a host can change its
// pages, and they have the bridge.
void BrowserApplication::warnAboutPlainOrigins()
{
    for (const QString &origin : BrowserContext::trustedOrigins()) {
        const QUrl url(origin);
        if (url.scheme() == QLatin1String("http") && !BrowserContext::isLoopbackHost(url.host()))
            qWarning("WARN trusted origin %s is plain http away from this machine: anyone on the network "
                     "path can read and change its pages, which use the bridge",
                     qPrintable(origin));
    }
}

QString BrowserApplication::singleInstanceKey()
{
    return SingleInstance::instanceKey(appConfig().name());
}

bool BrowserApplication::ensureSingleInstance()
{
    const QString key = singleInstanceKey();
    SingleInstance::Result result = m_singleInstance.acquire(key);
    // An instance that does not answer may be ending, as when the installer has just ended it and
    // starts this one: its guard goes a moment after it, and this start waits for that.
    if (result == SingleInstance::AlreadyRunning && !SingleInstance::requestActivation(key)) {
        result = m_singleInstance.acquire(key, 5000);
        if (result == SingleInstance::AlreadyRunning)
            qWarning("the running instance did not answer the activation request");
    }
    switch (result) {
    case SingleInstance::Acquired:
        connect(&m_singleInstance, &SingleInstance::activationRequested, this,
                &BrowserApplication::bringMainWindowToFront);
        m_singleInstance.listenForActivation();
        return true;
    case SingleInstance::AlreadyRunning:
        // The running window came forward when it answered, whether minimised, hidden or covered.
        // Nothing went wrong: the user's window is there, and this start has done its part.
        showInformationMessage(systemTitle, appConfig().title() + QStringLiteral("已经在运行"));
        m_failedStartExitCode = 0;
        return false;
    case SingleInstance::CreateFailed:
        qWarning("the instance guard failed: %s", qUtf8Printable(m_singleInstance.errorString()));
        break;
    }
    showCriticalMessage(systemTitle, QStringLiteral("无法创建共享内存"));
    return false;
}

void BrowserApplication::loadPlugins()
{
    m_imInterface = loadImPlugins(pluginSearchDir(applicationDir()));
    BrowserContext::setImInterface(m_imInterface);
}

bool BrowserApplication::checkUpdater()
{
    const QString updater = absolutePath(Kavo::updaterExecutableName());
    if (!QFileInfo::exists(updater)) {
        showCriticalMessage(errorTitle,
                            QStringLiteral("找不到Update.exe.您的程序运行环境已损害,请重新下载安装!"));
        openVendorSite();
        return false;
    }
    if (fileVersion(updater).isEmpty()) {
        showCriticalMessage(errorTitle, QStringLiteral("亲，您的软件版本太低，不能正确进行自动升级，"
                                                       "请您重新下载并安装最新版本哦。"));
        openVendorSite();
        return false;
    }
    return true;
}

bool BrowserApplication::resumePendingUpdate()
{
    if (!KavoUpdate::resumePendingUpdate())
        return false;
    // The installing updater ends this process. Should it end, fail or be stopped without
    // doing so, nothing else would: no window or server exists, and the instance guard would
    // refuse every later start. Queued, so it also takes effect once the event loop runs.
    KavoUpdate::instance()->setUpdaterEndedHandler([this] {
        std::fprintf(stderr, "the installing updater ended without ending this program\n");
        QMetaObject::invokeMethod(this, [] { QCoreApplication::exit(-1); }, Qt::QueuedConnection);
    });
    return true;
}

void BrowserApplication::checkMainExecutable()
{
    const QString mainExe = absolutePath(Kavo::mainExecutableName());
    const QString mainVersion = fileVersion(mainExe);
    const QString updaterVersion = fileVersion(absolutePath(Kavo::updaterExecutableName()));
    if (mainVersion.isEmpty() || compareVersions(mainVersion, updaterVersion) == 0)
        return;
    const QString unpacked = absolutePath(QStringLiteral("data/update/%1/%2/tmp/%3")
                                              .arg(appConfig().name(), appConfig().version(),
                                                   Kavo::mainExecutableName()));
    // The unpacked copy repairs the installation only when it is the updater's version.
    if (QFileInfo::exists(unpacked) && fileVersion(unpacked) == updaterVersion && copyFile(unpacked, mainExe))
        return;
    showCriticalMessage(errorTitle,
                        QStringLiteral("您的程序运行环境出现了问题, 我们强烈建议您重新下载安装最新版本!"));
    openVendorSite();
}

void BrowserApplication::createTrayIcon()
{
    if (!isAppMode() || m_trayIcon)
        return;
    // Closing a secondary window never ends the program while the main window waits in the
    // tray; without a tray the program ends as in the ordinary mode (onLastWindowClosed).
    setQuitOnLastWindowClosed(false);
    connect(this, &QGuiApplication::lastWindowClosed, this, &BrowserApplication::onLastWindowClosed,
            Qt::UniqueConnection);
    BrowserContext::setTrayProbe([this] { return trayIconReachable(); });
    m_trayIcon = new TrayIcon;
    m_trayIcon->setIcon(QIcon(absolutePath(appConfig().icon())));
    connect(m_trayIcon, &TrayIcon::openMainWindow, this, &BrowserApplication::onOpenMainWindow);
    connect(m_trayIcon, &TrayIcon::clearCache, this, &BrowserApplication::onClearCache);
    connect(m_trayIcon, &TrayIcon::exitApp, this, &BrowserApplication::onExitApp);
    connect(m_trayIcon, &QSystemTrayIcon::activated, this, &BrowserApplication::onTrayIconActivated);
    m_trayIcon->setToolTip(appConfig().title());
    m_trayIcon->show();
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        qWarning("no system tray: the main window minimises and closes as in the ordinary mode");
}

bool BrowserApplication::trayIconReachable() const
{
    return m_trayIcon && m_trayIcon->isVisible() && QSystemTrayIcon::isSystemTrayAvailable();
}

void BrowserApplication::onLastWindowClosed()
{
    if (BrowserContext::canHideToTray() && PageManager::mainWindow())
        return;
    quit();
}

void BrowserApplication::bringMainWindowToFront()
{
    BrowserWindow *window = PageManager::mainWindow();
    if (!window)
        window = m_firstWindow;
    if (!window && !PageManager::windows().isEmpty())
        window = PageManager::windows().first();
    if (!window)
        return;
    window->showNormal();
    window->raise();
    window->activateWindow();
}

void BrowserApplication::onTrayIconActivated(QSystemTrayIcon::ActivationReason reason)
{
    BrowserWindow *window = PageManager::mainWindow();
    if (!window)
        return;
    if (reason == QSystemTrayIcon::Trigger) {
        // A click on the icon brings the window forward, as people expect of a tray icon.
        m_trayClickShowedWindow = !window->isVisible() || window->isMinimized();
        m_trayClick.start();
        window->showNormal();
        window->raise();
        window->activateWindow();
        return;
    }
    if (reason != QSystemTrayIcon::DoubleClick)
        return;
    // The first press of a double click arrives as a click: a window that click brought forward
    // stays, instead of going again at once.
    const bool broughtByItsClick = m_trayClickShowedWindow && m_trayClick.isValid()
        && m_trayClick.elapsed() <= QApplication::doubleClickInterval();
    m_trayClickShowedWindow = false;
    if (broughtByItsClick)
        return;
    if (window->isVisible())
        window->hide();
    else
        onOpenMainWindow();
}

void BrowserApplication::onOpenMainWindow()
{
    BrowserWindow *window = PageManager::mainWindow();
    if (!window)
        return;
    window->showNormal();
    window->activateWindow();
}

void BrowserApplication::onClearCache()
{
    WebView::clearCaches();

    auto *notice = new DesktopAlertWidget(nullptr, DesktopAlertWidget::PlainTextLayout);
    notice->setAutoCloseDelay(5000);
    notice->setTitle(QString());
    notice->setContent(QStringLiteral("<strong>缓存已经清空</strong>"));
    notice->popUp();
}

void BrowserApplication::onExitApp()
{
    if (BrowserWindow *window = PageManager::mainWindow())
        window->saveWindowSize();
    PageManager::closeAll();
    quit();
}

void BrowserApplication::createFirstWindow()
{
    const QUrl url = appConfig().url();
    BrowserWindow *window = isAppMode() ? PageManager::createMainWindow(url, nullptr, Qt::WindowFlags())
                                        : PageManager::createWindow(url, nullptr, Qt::WindowFlags());
    m_firstWindow = window;
    window->setUseStoredSize(true);
    window->setWindowFlags(window->windowFlags() & ~Qt::WindowMaximizeButtonHint);
    if (qEnvironmentVariableIntValue("KAVO_TRACE_STARTUP") == 1) {
        connect(window, &BrowserWindow::pageReady, this, [this] { traceStartup("loaded"); });
        connect(window, &BrowserWindow::pageShown, this, [this] { traceStartup("shown"); });
    }
    window->showCentered();
}

void BrowserApplication::handleEndOfUpdate()
{
    PageEvent::Event event = PageEvent::endOfUpdate(QCoreApplication::arguments());
    // Started by the user after an installation was interrupted or its restart was lost.
    if (!event.isValid() && m_repairedUpdate.known
        && !ArgmentParser::parse(QCoreApplication::arguments()).contains(QStringLiteral("-endUpdate")))
        event = m_repairedUpdate.success
            ? PageEvent::updateEnd(true, m_repairedUpdate.version, QStringLiteral("成功啦哈哈！"))
            : PageEvent::updateEnd(false, m_repairedUpdate.version, QStringLiteral("悲催了，唉~~~"));
    // Run once the first page has loaded and registered its listeners; at once it would meet
    // only the splash's empty frame.
    if (event.isValid())
        m_firstWindow->runAfterFirstLoad(event);
}

void BrowserApplication::traceStartup(const char *what)
{
    if (qEnvironmentVariableIntValue("KAVO_TRACE_STARTUP") != 1)
        return;
    std::fprintf(stderr, "KAVO_STARTUP %s %lld %lld\n", what, static_cast<long long>(m_startClock.elapsed()),
                 static_cast<long long>(QDateTime::currentMSecsSinceEpoch()));
    std::fflush(stderr);
}
