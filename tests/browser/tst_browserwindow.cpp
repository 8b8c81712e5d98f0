#include "core/inivariants.h"
#include "browser/browsercontext.h"
#include "browser/browserwindow.h"
#include "browser/pagemanager.h"
#include "browser/splashview.h"
#include "browser/webview.h"
#include "core/fileutils.h"
#include "browser/host.h"
#include "browser/pageevent.h"
#include "httpserver/httpserver.h"
#include "core/config.h"
#include "browser/pluginloader.h"
#include "tests/pagescript.h"

#include <QGuiApplication>
#include <QLineEdit>
#include <QScreen>
#include <QPointer>
#include <QStackedWidget>
#include <QTcpServer>
#include <QToolBar>
#include <QAction>
#include <QTemporaryDir>
#include <QtTest>

// A script-visible object the window publishes, to watch the per-page object set.
class Probe : public QObject
{
    Q_OBJECT
public:
    Q_INVOKABLE QString hello() const { return QStringLiteral("你好"); }
};

// Windows against pages served by the real local server from a temporary directory.
class tst_BrowserWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;
    HttpServer *m_server = nullptr;

    QString pageUrl(const QString &name) const
    {
        return QStringLiteral("http://localhost:58899/data/T/") + name;
    }

    void writePage(const QString &name, const QByteArray &html)
    {
        QDir().mkpath(m_root.filePath(QStringLiteral("data/T")));
        QFile file(m_root.filePath(QStringLiteral("data/T/") + name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(html);
    }

    // qt.conf for this process; mode "app" or "".
    void configure(const QString &mode, int width, int height)
    {
        const QString path = m_root.filePath(QStringLiteral("qt.conf"));
        QFile::remove(path);
        QSettings settings(path, QSettings::IniFormat);
        IniVariants::useUtf8(settings);
        settings.setValue(QStringLiteral("System/Mode"), mode);
        settings.setValue(QStringLiteral("System/App"), QStringLiteral("T"));
        settings.setValue(QStringLiteral("T/Version"), QStringLiteral("5.0.0.0"));
        settings.setValue(QStringLiteral("T/Title"), QStringLiteral("测试窗口"));
        settings.setValue(QStringLiteral("T/Url"), pageUrl(QStringLiteral("events.html")));
        if (width != -99999)
            settings.setValue(QStringLiteral("T/Width"), width);
        if (height != -99999)
            settings.setValue(QStringLiteral("T/Height"), height);
        settings.sync();
        QVERIFY(appConfig().load(path));
    }

    static QString userConf() { return absolutePath(QStringLiteral("data/user.conf")); }

    static bool waitForPage(BrowserWindow *window)
    {
        QSignalSpy ready(window, &BrowserWindow::pageReady);
        return ready.wait(15000);
    }

    static void reload(BrowserWindow &window) { window.webView()->action(WebView::Reload)->trigger(); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        m_server = new HttpServer(m_root.path(), this);
        QVERIFY(m_server->listen(58899));
        BrowserContext::setWebRoot(QStringLiteral("http://localhost:58899/data/T"));
        QVERIFY(Host::instance().registerWindowObject(QStringLiteral("Probe"),
                                                      [](BrowserWindow *) { return new Probe; }));
        // Listeners registered while the page loads record what reaches them.
        writePage(QStringLiteral("events.html"),
                  "<html><head><meta charset='utf-8'><title>事件页</title><script>"
                  "var Kavo = {};var seen = {};"
                  "document.addEventListener('kavo.window.loaded', function (e) {"
                  "  seen.loaded = e.title; seen.webRootAtLoaded = Kavo.webRoot; seen.loadedSuccess = e.success;"
                  "  seen.sameWindow = (e.window === window); }, false);"
                  "document.addEventListener('kavo.update.end', function (e) {"
                  "  seen.updateSuccess = e.success; seen.updateVersion = e.info.version;"
                  "  seen.updateText = e.info.description || e.info.error; seen.updateCount = (seen.updateCount || 0) + 1;"
                  "}, false);"
                  "</script></head><body>页面</body></html>");
        writePage(QStringLiteral("opener.html"),
                  "<html><head><title>opener</title></head><body>"
                  "<a id='l' href='events.html' target='_blank'>新窗口</a></body></html>");
        writePage(QStringLiteral("untitled.html"), "<html><body>无标题</body></html>");
        writePage(QStringLiteral("quote.html"),
                  "<html><head><title>it's \"quoted\"</title><script>var Kavo={};var seen={};"
                  "document.addEventListener('kavo.window.loaded', function (e) { seen.loaded = e.title; }, false);"
                  "</script></head><body></body></html>");
        configure(QString(), 800, 600);
    }

    void cleanup()
    {
        BrowserContext::setTrayProbe(nullptr);
        PageManager::closeAll();
        QFile::remove(userConf());
        configure(QString(), 800, 600);
    }

    void evaluateGivesTheValueOfTheApplicationsDocumentsOnly()
    {
        BrowserWindow window(QUrl(pageUrl(QStringLiteral("events.html"))));
        QVERIFY(waitForPage(&window));
        QCOMPARE(PageScript::evaluate(window, QStringLiteral("6*7")).toInt(), 42);
        QCOMPARE(PageScript::evaluate(window, QStringLiteral("'卡沃'")).toString(), QStringLiteral("卡沃"));
        // A window without a document of the application's runs nothing.
        BrowserWindow blank;
        QVERIFY(!PageScript::evaluate(blank, QStringLiteral("6*7")).isValid());
    }

    void loadPublishesWebRootThenLoadedEvent()
    {
        BrowserWindow window(QUrl(pageUrl(QStringLiteral("events.html"))));
        QVERIFY(waitForPage(&window));
        QTRY_COMPARE(PageScript::evaluate(window, QStringLiteral("seen.loaded")).toString(), QStringLiteral("事件页"));
        QCOMPARE(PageScript::evaluate(window, QStringLiteral("seen.webRootAtLoaded")).toString(),
                 QStringLiteral("http://localhost:58899/data/T/"));
        QCOMPARE(PageScript::evaluate(window, QStringLiteral("seen.loadedSuccess")).toBool(), false);
        QCOMPARE(PageScript::evaluate(window, QStringLiteral("seen.sameWindow")).toBool(), true);
    }

    void titleWithQuotesStillRaisesLoadedEvent()
    {
        BrowserWindow window(QUrl(pageUrl(QStringLiteral("quote.html"))));
        QVERIFY(waitForPage(&window));
        QTRY_COMPARE(PageScript::evaluate(window, QStringLiteral("seen.loaded")).toString(),
                     QStringLiteral("it's \"quoted\""));
    }

    void endOfUpdateReachesListenerOfFirstPage_data()
    {
        QTest::addColumn<bool>("success");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("text");
        QTest::newRow("success") << true << "5.1.0.0" << "成功啦哈哈！";
        QTest::newRow("failed") << false << "5.1.0.0" << "悲催了，唉~~~";
        QTest::newRow("quote in version") << true << "5.1'+alert(1)+'" << "成功啦哈哈！";
    }

    void endOfUpdateReachesListenerOfFirstPage()
    {
        QFETCH(bool, success);
        QFETCH(QString, version);
        QFETCH(QString, text);
        BrowserWindow window(QUrl(pageUrl(QStringLiteral("events.html"))));
        window.runAfterFirstLoad(PageEvent::updateEnd(success, version, text));
        QVERIFY(waitForPage(&window));
        QCOMPARE(PageScript::evaluate(window, QStringLiteral("seen.updateSuccess")).toBool(), success);
        QCOMPARE(PageScript::evaluate(window, QStringLiteral("seen.updateVersion")).toString(), version);
        QCOMPARE(PageScript::evaluate(window, QStringLiteral("seen.updateText")).toString(), text);
        QCOMPARE(PageScript::evaluate(window, QStringLiteral("seen.updateCount")).toInt(), 1);
        // Once only: a reload does not replay it.
        reload(window);
        QVERIFY(waitForPage(&window));
        QCOMPARE(PageScript::evaluate(window, QStringLiteral("seen.updateCount === undefined")).toBool(), true);
    }

    void failedLoadShowsErrorText()
    {
        // The log names the address (QtWebKit refuses port 1 before any request: no reason then).
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("^加载失败: http://127\\.0\\.0\\.1:1/nothing\\.html: .+$")));
        BrowserWindow window(QUrl(QStringLiteral("http://127.0.0.1:1/nothing.html")));
        QVERIFY(waitForPage(&window));
        QTRY_COMPARE(PageScript::text(window.webView()), QStringLiteral("加载失败!"));
    }

    // The failed address stays in the address bar, and reload tries it again rather than the
    // error text.
    void reloadLoadsTheFailedStartPageAgain_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("how");
        QTest::newRow("reload button") << QString() << "button";
        QTest::newRow("F5") << QString() << "F5";
        QTest::newRow("F5 in application mode") << "app" << "F5";
        // The engine's own idea of the requested address is the error text's after a failure.
        QTest::newRow("address bar fails again, then F5") << QString() << "retry";
    }

    void reloadLoadsTheFailedStartPageAgain()
    {
        QFETCH(QString, mode);
        QFETCH(QString, how);
        configure(mode, 800, 600);
        quint16 port = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            port = probe.serverPort();
        }
        const QUrl url(QStringLiteral("http://127.0.0.1:%1/data/T/events.html").arg(port));
        // The log names the address and why the connection failed.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^加载失败: %1: (?!the engine gave no reason).+$")
                                                                  .arg(QRegularExpression::escape(url.toString()))));
        BrowserWindow window(url);
        window.show();
        QSignalSpy ready(&window, &BrowserWindow::pageReady);
        QVERIFY(ready.wait(15000));
        QCOMPARE(ready.first().first().toBool(), false);
        QTRY_COMPARE(PageScript::text(window.webView()), QStringLiteral("加载失败!"));
        QCOMPARE(window.failedUrl(), url);
        if (window.addressEdit()) {
            QCoreApplication::processEvents();
            QCOMPARE(window.addressEdit()->text(), url.toString());
        }

        if (how == QLatin1String("retry")) {
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^加载失败: %1: .+$")
                                                                      .arg(QRegularExpression::escape(url.toString()))));
            ready.clear();
            QSignalSpy engineLoads(window.webView(), &WebView::loadFinished);
            QTest::keyClick(window.addressEdit(), Qt::Key_Return);
            QVERIFY(ready.wait(15000));
            QCOMPARE(ready.first().first().toBool(), false);
            QCOMPARE(window.failedUrl(), url);
            // The failure and the error text again (QtWebKit loads the text inside the failure's
            // signal, so the order differs).
            QTRY_COMPARE_WITH_TIMEOUT(engineLoads.size(), 2, 15000);
            QVERIFY(engineLoads.first().first().toBool() != engineLoads.last().first().toBool());
            QCOMPARE(window.addressEdit()->text(), url.toString());
        }

        HttpServer server(m_root.path());
        QVERIFY(server.listen(QHostAddress::LocalHost, port));
        ready.clear();
        if (how == QLatin1String("button")) {
            QAction *reload = window.webView()->action(WebView::Reload);
            QVERIFY(window.navigationBar()->actions().contains(reload));
            reload->trigger();
        } else {
            QTest::keyClick(window.webView(), Qt::Key_F5);
        }
        QVERIFY(ready.wait(15000));
        QCOMPARE(ready.last().first().toBool(), true);
        QCOMPARE(window.webView()->title(), QStringLiteral("事件页"));
        QVERIFY(window.failedUrl().isEmpty());
        if (window.addressEdit())
            QCOMPARE(window.addressEdit()->text(), url.toString());
    }

    void splashSlidesToPageAfterLoad()
    {
        BrowserWindow window(QUrl(pageUrl(QStringLiteral("events.html"))));
        QCOMPARE(window.stack()->currentWidget(), static_cast<QWidget *>(window.splashView()));
        QSignalSpy shown(&window, &BrowserWindow::pageShown);
        QVERIFY(shown.wait(10000));
        QCOMPARE(window.stack()->currentWidget(), window.pageContainer());
        QCOMPARE(window.pageContainer()->pos(), QPoint(0, 0));
    }

    void bridgeObjectsAreReplacedOnEveryLoad()
    {
        BrowserWindow window(QUrl(pageUrl(QStringLiteral("events.html"))));
        QVERIFY(waitForPage(&window));
        QCOMPARE(PageScript::evaluate(window, QStringLiteral("Probe.hello()")).toString(), QStringLiteral("你好"));
        const int published = window.bridgeObjects().size();
        QVERIFY(published >= 1);
        QPointer<QObject> before = window.bridgeObjects().last();
        reload(window);
        QVERIFY(waitForPage(&window));
        QVERIFY(before.isNull());
        QCOMPARE(window.bridgeObjects().size(), published);
        QCOMPARE(PageScript::evaluate(window, QStringLiteral("Probe.hello()")).toString(), QStringLiteral("你好"));
    }

    void geometryFromQtConfAndUserConf_data()
    {
        QTest::addColumn<int>("confWidth");
        QTest::addColumn<int>("confHeight");
        QTest::addColumn<QByteArray>("userConfText"); // empty: no file
        QTest::addColumn<QSize>("expected");
        QTest::addColumn<bool>("minimumSet");
        QTest::newRow("no user.conf") << 800 << 600 << QByteArray() << QSize(800, 600) << true;
        QTest::newRow("user.conf of another application")
            << 800 << 600 << QByteArray("[Other]\nWidth=500\nHeight=900\n") << QSize(800, 600) << true;
        QTest::newRow("stored size") << 800 << 600 << QByteArray("[T]\nWidth=700\nHeight=650\n") << QSize(700, 650)
                                     << true;
        QTest::newRow("stored width only counts as not stored")
            << 800 << 600 << QByteArray("[T]\nWidth=700\n") << QSize(800, 600) << true;
        QTest::newRow("300 x 0 grows to the minimum")
            << 800 << 600 << QByteArray("[T]\nWidth=300\nHeight=0\n") << QSize(360, 560) << true;
        QTest::newRow("no size anywhere") << -99999 << -99999 << QByteArray() << QSize() << false;
    }

    void geometryFromQtConfAndUserConf()
    {
        QFETCH(int, confWidth);
        QFETCH(int, confHeight);
        QFETCH(QByteArray, userConfText);
        QFETCH(QSize, expected);
        QFETCH(bool, minimumSet);
        configure(QString(), confWidth, confHeight);
        if (!userConfText.isEmpty()) {
            QDir().mkpath(QFileInfo(userConf()).path());
            QFile file(userConf());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(userConfText);
        }
        BrowserWindow reference;
        reference.show();
        BrowserWindow window;
        window.setUseStoredSize(true);
        window.show();
        QCOMPARE(window.size(), expected.isValid() ? expected : reference.size());
        QCOMPARE(window.minimumSize() == QSize(360, 560), minimumSet);
        QCOMPARE(window.windowTitle(), QStringLiteral("测试窗口"));
    }

    // The stored size is for the first show; later shows keep what the user made of the window.
    void restoredWindowKeepsItsSize_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("hidden and shown again") << "hide";
        QTest::newRow("minimised to the tray and opened") << "tray";
        QTest::newRow("minimised and restored") << "minimise";
    }

    void restoredWindowKeepsItsSize()
    {
        QFETCH(QString, how);
        configure(QStringLiteral("app"), 800, 600);
        BrowserContext::setTrayProbe([] { return true; });
        QDir().mkpath(QFileInfo(userConf()).path());
        {
            QFile file(userConf());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("[T]\nWidth=700\nHeight=650\n");
        }
        BrowserWindow *window = PageManager::createMainWindow(QUrl(), nullptr, Qt::WindowFlags());
        QVERIFY(window);
        window->setUseStoredSize(true);
        window->show();
        QCOMPARE(window->size(), QSize(700, 650));
        window->resize(820, 610);
        if (how == QLatin1String("hide")) {
            window->hide();
        } else {
            if (how == QLatin1String("minimise"))
                BrowserContext::setTrayProbe(nullptr);
            window->setWindowState(Qt::WindowMinimized);
            QTRY_COMPARE(window->isHidden(), how == QLatin1String("tray"));
        }
        window->showNormal();
        QVERIFY(window->isVisible());
        QCOMPARE(window->size(), QSize(820, 610));
    }

    // Only the application's main window (the one taking the stored size) writes user.conf.
    void closingStoresTheSizeOfTheMainWindowOnly_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("stored");
        QTest::newRow("first window") << QString() << "first" << true;
        QTest::newRow("pop-up window") << QString() << "popup" << false;
        QTest::newRow("window made by script") << QString() << "factory" << false;
        QTest::newRow("application main window without a tray") << "app" << "main" << true;
        QTest::newRow("pop-up window in application mode") << "app" << "popup" << false;
    }

    void closingStoresTheSizeOfTheMainWindowOnly()
    {
        QFETCH(QString, mode);
        QFETCH(QString, kind);
        QFETCH(bool, stored);
        configure(mode, 800, 600);
        BrowserWindow *window = nullptr;
        if (kind == QLatin1String("main"))
            window = PageManager::createMainWindow(QUrl(), nullptr, Qt::WindowFlags());
        else if (kind == QLatin1String("factory"))
            window = new BrowserWindow();
        else
            window = PageManager::createWindow(QUrl(), nullptr, Qt::WindowFlags());
        QVERIFY(window);
        QPointer<BrowserWindow> guard = window;
        window->setUseStoredSize(kind == QLatin1String("first") || kind == QLatin1String("main"));
        window->show();
        window->resize(612, 634);
        window->close();
        UserConfig saved(QStringLiteral("T"), 0, 0);
        QCOMPARE(saved.load(QStringLiteral("data/user.conf")) && saved.width() == 612 && saved.height() == 634,
                 stored);
        if (kind == QLatin1String("factory"))
            delete guard.data();
    }

    void savedSizeIsUsedNextTime()
    {
        {
            BrowserWindow window;
            window.resize(640, 700);
            QVERIFY(window.saveWindowSize());
        }
        BrowserWindow again;
        again.setUseStoredSize(true);
        again.show();
        QCOMPARE(again.size(), QSize(640, 700));
    }

    void registryKeepsWindowsInOrder()
    {
        BrowserWindow *a = PageManager::createWindow(QUrl(), nullptr, Qt::WindowFlags());
        BrowserWindow *b = PageManager::createWindow(QUrl(pageUrl(QStringLiteral("events.html"))), nullptr,
                                                     Qt::WindowFlags());
        QCOMPARE(PageManager::windows(), (QList<BrowserWindow *>{a, b}));
        QVERIFY(a->appUrl().isEmpty());
        QCOMPARE(b->appUrl(), QUrl(pageUrl(QStringLiteral("events.html"))));
        QVERIFY(!PageManager::mainWindow());
        QVERIFY(!PageManager::createMainWindow(QUrl(), nullptr, Qt::WindowFlags()));
        QPointer<BrowserWindow> closed = a;
        a->show();
        a->close();
        QCOMPARE(PageManager::windows(), (QList<BrowserWindow *>{b}));
        QTRY_VERIFY(closed.isNull());
    }

    // With a tray the main window hides into it; without one it closes as in the ordinary mode.
    void applicationModeHasOneMainWindowThatHides_data()
    {
        QTest::addColumn<bool>("tray");
        QTest::newRow("with a tray") << true;
        QTest::newRow("without a tray") << false;
    }

    void applicationModeHasOneMainWindowThatHides()
    {
        QFETCH(bool, tray);
        configure(QStringLiteral("app"), 800, 600);
        BrowserContext::setTrayProbe([tray] { return tray; });
        BrowserWindow *main = PageManager::createMainWindow(QUrl(), nullptr, Qt::WindowFlags());
        QVERIFY(main);
        QVERIFY(!main->navigationBar());
        QVERIFY(!PageManager::createMainWindow(QUrl(), nullptr, Qt::WindowFlags()));
        QCOMPARE(PageManager::mainWindow(), main);
        QPointer<BrowserWindow> guard = main;
        main->show();
        main->close();
        QCoreApplication::processEvents();
        if (tray) {
            QVERIFY(!guard.isNull());
            QVERIFY(main->isHidden());
            QCOMPARE(PageManager::windows().size(), 1);
        } else {
            QVERIFY(PageManager::windows().isEmpty());
            QTRY_VERIFY(guard.isNull());
        }
    }

    void onlyApplicationMainWindowHidesOnMinimise_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("main");
        QTest::addColumn<bool>("tray");
        QTest::addColumn<bool>("hides");
        QTest::newRow("ordinary window") << QString() << false << true << false;
        QTest::newRow("secondary window in application mode") << "app" << false << true << false;
        QTest::newRow("application main window") << "app" << true << true << true;
        QTest::newRow("application main window without a tray") << "app" << true << false << false;
    }

    void onlyApplicationMainWindowHidesOnMinimise()
    {
        QFETCH(QString, mode);
        QFETCH(bool, main);
        QFETCH(bool, tray);
        QFETCH(bool, hides);
        configure(mode, 800, 600);
        BrowserContext::setTrayProbe([tray] { return tray; });
        BrowserWindow *window = main ? PageManager::createMainWindow(QUrl(), nullptr, Qt::WindowFlags())
                                     : PageManager::createWindow(QUrl(), nullptr, Qt::WindowFlags());
        QVERIFY(window);
        window->show();
        window->setWindowState(Qt::WindowMinimized);
        QTest::qWait(50);
        QCOMPARE(window->isHidden(), hides);
    }

    void navigationBarOnlyOutsideApplicationMode()
    {
        BrowserWindow window(QUrl(pageUrl(QStringLiteral("events.html"))));
        QVERIFY(window.navigationBar());
        QCOMPARE(window.addressEdit()->text(), pageUrl(QStringLiteral("events.html")));
        configure(QStringLiteral("app"), 800, 600);
        BrowserWindow appWindow;
        QVERIFY(!appWindow.navigationBar());
    }

    void addressWithoutSchemeGetsHttp()
    {
        BrowserWindow window;
        window.addressEdit()->setText(QStringLiteral("localhost:58899/data/T/events.html"));
        QMetaObject::invokeMethod(window.addressEdit(), "returnPressed");
        QCOMPARE(window.addressEdit()->text(), QStringLiteral("http://localhost:58899/data/T/events.html"));
        QVERIFY(waitForPage(&window));
        QCOMPARE(window.webView()->title(), QStringLiteral("事件页"));
    }

    // The opened window is named after its page, or after the application when the page has no
    // title; the opener keeps the application's title whatever its page is called.
    void linkWithNewTargetOpensRegisteredWindow_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("pageTitle");
        QTest::addColumn<QString>("windowTitle");
        QTest::newRow("titled page") << "events.html" << "事件页" << "事件页";
        QTest::newRow("page without a title") << "untitled.html" << QString() << "测试窗口";
    }

    void linkWithNewTargetOpensRegisteredWindow()
    {
        QFETCH(QString, target);
        QFETCH(QString, pageTitle);
        QFETCH(QString, windowTitle);
        BrowserWindow *opener = PageManager::createWindow(QUrl(pageUrl(QStringLiteral("opener.html"))), nullptr,
                                                          Qt::WindowFlags());
        opener->show();
        QVERIFY(waitForPage(opener));
        opener->runScript(QStringLiteral("var l = document.getElementById('l'); l.href = '%1'; l.click();").arg(target));
        QTRY_COMPARE(PageManager::windows().size(), 2);
        BrowserWindow *opened = PageManager::windows().last();
        QTRY_VERIFY(opened->webView()->url().toString().endsWith(target) && !opened->isLoading());
        if (!pageTitle.isEmpty())
            QTRY_COMPARE(opened->webView()->title(), pageTitle);
        QTRY_COMPARE(opened->windowTitle(), windowTitle);
        QTRY_VERIFY(opened->isVisible());
        QCOMPARE(opener->windowTitle(), QStringLiteral("测试窗口"));
    }

    void pageGeometryRequestStaysOnScreen()
    {
        BrowserWindow window;
        window.show();
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        QMetaObject::invokeMethod(&window, "onGeometryChangeRequested",
                                  Q_ARG(QRect, QRect(available.left() - 50, available.top() + 20, 500, 600)));
        QCOMPARE(window.pos(), QPoint(available.left(), available.top() + 20));
        QCOMPARE(window.size(), QSize(500, 600));
    }

    void imPluginIsGivenEachWebView()
    {
        IMInterface *im = loadImPlugins(QFileInfo(QStringLiteral(KAVO_TEST_PLUGIN)).path());
        QVERIFY(im);
        BrowserContext::setImInterface(im);
        BrowserWindow window;
        BrowserContext::setImInterface(nullptr);
        QCOMPARE(window.webView()->inputWidget()->property("kavoImAttached").toBool(), true);
        BrowserWindow without;
        QVERIFY(!without.webView()->inputWidget()->property("kavoImAttached").isValid());
    }

    void ctrlShiftIToggles_inspector()
    {
        BrowserWindow window;
        window.show();
        QVERIFY(window.inspector()->isHidden());
        QTest::keyClick(&window, Qt::Key_I, Qt::ControlModifier | Qt::ShiftModifier);
        QVERIFY(!window.inspector()->isHidden());
        QTest::keyClick(&window, Qt::Key_I, Qt::ControlModifier | Qt::ShiftModifier);
        QVERIFY(window.inspector()->isHidden());
    }
};

QTEST_MAIN(tst_BrowserWindow)
#include "tst_browserwindow.moc"
