#include "widgets/desktopalertwidget.h"
#include "core/fileutils.h"
#include "browser/browsercontext.h"
#include "browser/browserwindow.h"
#include "browser/pagemanager.h"
#include "network/networkaccessmanager.h"
#include "shell/browserapplication.h"
#include "core/config.h"
#include "network/cookiejar.h"
#include "shell/trayicon.h"

#include <QAction>
#include <QMenu>
#include <QTemporaryDir>
#include <QTimer>

#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkDiskCache>
#include <QPointer>
#include <QSettings>
#include <QtTest>

#include <cstdio>

namespace {
QList<DesktopAlertWidget *> alerts()
{
    QList<DesktopAlertWidget *> found;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *alert = qobject_cast<DesktopAlertWidget *>(w))
            found << alert;
    return found;
}
} // namespace

// What the application does for the tray icon of application mode.
class tst_TrayActions : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_icon = m_dir.filePath(QStringLiteral("tray.png"));
        QPixmap pixmap(16, 16);
        pixmap.fill(Qt::red);
        QVERIFY(pixmap.save(m_icon));
        configure(QStringLiteral("App"));
        QVERIFY(isAppMode());
        m_window = PageManager::createMainWindow(QUrl(), nullptr, Qt::WindowFlags());
        QVERIFY(m_window);
        m_window->show();
    }

    // Settings of the default store go to the program's own folder, and the cookie store found
    // where it lived before the program was named moved along.
    void applicationIsNamed()
    {
        QCOMPARE(QCoreApplication::organizationName(), QStringLiteral("Kavo"));
        QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Kavo.V5"));
        const QString settingsFile = QSettings().fileName();
        QVERIFY2(!settingsFile.contains(QLatin1String("Unknown Organization")), qPrintable(settingsFile));
        QVERIFY2(settingsFile.endsWith(QLatin1String("/Kavo/Kavo.V5.conf")), qPrintable(settingsFile));
        QFile moved(CookieJar::storePath());
        QVERIFY2(moved.open(QIODevice::ReadOnly), qPrintable(moved.fileName()));
        QCOMPARE(moved.readAll(), QByteArray("[General]\nkept=1\n"));
        QVERIFY(!QFileInfo::exists(qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Kavo.V5/cookies.ini")));
    }

    // Application mode gets the tray icon with its icon, tool tip and the four requests wired to
    // the application; the ordinary mode gets none.
    void trayIconOnlyInApplicationMode()
    {
        auto *app = static_cast<BrowserApplication *>(qApp);
        configure(QString());
        app->createTrayIcon();
        QVERIFY(!app->trayIcon());
        configure(QStringLiteral("App"));
        app->createTrayIcon();
        TrayIcon *tray = app->trayIcon();
        QVERIFY(tray);
        QVERIFY(!tray->icon().isNull());
        QCOMPARE(tray->icon().pixmap(16, 16).toImage().pixelColor(8, 8), QColor(Qt::red));
        QCOMPARE(tray->toolTip(), QStringLiteral("托盘"));
        QVERIFY(tray->isVisible());

        // Open window.
        m_window->hide();
        tray->menu()->actions().at(0)->trigger();
        QVERIFY(m_window->isVisible());
        // Double click hides and shows.
        emit tray->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(m_window->isHidden());
        emit tray->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(m_window->isVisible());
        // Clear cache shows its notice.
        qDeleteAll(alerts());
        tray->menu()->actions().at(2)->trigger();
        QCOMPARE(alerts().size(), 1);
        qDeleteAll(alerts());
        // Exit: exitSavesTheSizeOfTheHiddenWindowAndClosesAll runs it through the menu, last.
    }

    // Closing a window ends the program only when no main window waits in a tray.
    void closingAWindowEndsTheProgram_data()
    {
        QTest::addColumn<bool>("tray");
        QTest::addColumn<QString>("closed");
        QTest::addColumn<bool>("ends");
        QTest::newRow("secondary window while the main window is in the tray") << true << "secondary" << false;
        QTest::newRow("notice while the main window is in the tray") << true << "notice" << false;
        QTest::newRow("secondary window without a tray") << false << "secondary" << true;
    }
    void closingAWindowEndsTheProgram()
    {
        QFETCH(bool, tray);
        QFETCH(QString, closed);
        QFETCH(bool, ends);
        QVERIFY(static_cast<BrowserApplication *>(qApp)->trayIcon());
        BrowserContext::setTrayProbe([tray] { return tray; });
        m_window->hide();
        QWidget *window = nullptr;
        if (closed == QLatin1String("secondary")) {
            window = PageManager::createWindow(QUrl(), nullptr, Qt::WindowFlags());
        } else {
            auto *notice = new DesktopAlertWidget(nullptr, DesktopAlertWidget::PlainTextLayout);
            notice->setContent(QStringLiteral("消息"));
            window = notice;
        }
        window->show();
        QTimer::singleShot(0, window, [window] { window->close(); });
        // Left running, the loop ends with 7; the timer goes with this function.
        QTimer stopper;
        stopper.setSingleShot(true);
        connect(&stopper, &QTimer::timeout, [] { QCoreApplication::exit(7); });
        stopper.start(1500);
        const int code = QCoreApplication::exec();
        BrowserContext::setTrayProbe([] { return true; });
        QCOMPARE(code != 7, ends);
        QVERIFY(m_window);
        m_window->show();
    }

    void doubleClickTogglesTheMainWindow()
    {
        auto *app = static_cast<BrowserApplication *>(qApp);
        QVERIFY(m_window->isVisible());
        app->onTrayIconActivated(QSystemTrayIcon::DoubleClick);
        QVERIFY(!m_window->isVisible());
        m_window->showMinimized();
        m_window->hide();
        app->onTrayIconActivated(QSystemTrayIcon::DoubleClick);
        QVERIFY(m_window->isVisible());
        QVERIFY(!m_window->isMinimized());
    }

    // A click shows the hidden or minimised main window and raises it; the click that begins a
    // double click leaves the window shown, while a double click on a shown window hides it.
    void clickShowsTheMainWindow_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<bool>("thenDoubleClick");
        QTest::addColumn<bool>("visible");
        QTest::newRow("hidden") << "hidden" << false << true;
        QTest::newRow("minimised") << "minimised" << false << true;
        QTest::newRow("shown") << "shown" << false << true;
        QTest::newRow("hidden, double click") << "hidden" << true << true;
        QTest::newRow("shown, double click") << "shown" << true << false;
    }
    void clickShowsTheMainWindow()
    {
        QFETCH(QString, before);
        QFETCH(bool, thenDoubleClick);
        QFETCH(bool, visible);
        auto *app = static_cast<BrowserApplication *>(qApp);
        m_window->showNormal();
        if (before == QLatin1String("hidden"))
            m_window->hide();
        else if (before == QLatin1String("minimised"))
            m_window->showMinimized();
        app->onTrayIconActivated(QSystemTrayIcon::Trigger);
        QVERIFY(m_window->isVisible());
        QVERIFY(!m_window->isMinimized());
        if (thenDoubleClick)
            app->onTrayIconActivated(QSystemTrayIcon::DoubleClick);
        QCOMPARE(m_window->isVisible(), visible);
        m_window->show();
    }

    void otherActivationsDoNothing_data()
    {
        QTest::addColumn<int>("reason");
        QTest::newRow("middle") << int(QSystemTrayIcon::MiddleClick);
        QTest::newRow("context") << int(QSystemTrayIcon::Context);
    }
    void otherActivationsDoNothing()
    {
        QFETCH(int, reason);
        auto *app = static_cast<BrowserApplication *>(qApp);
        m_window->hide();
        app->onTrayIconActivated(QSystemTrayIcon::ActivationReason(reason));
        QVERIFY(!m_window->isVisible());
        app->onOpenMainWindow();
        QVERIFY(m_window->isVisible());
    }

    void clearCacheShowsTheNoticeAndKeepsCookies()
    {
        auto *app = static_cast<BrowserApplication *>(qApp);
        NetworkAccessManager *manager = BrowserContext::networkAccessManager();
        const QUrl site(QStringLiteral("http://127.0.0.1/"));
        QNetworkCookie cookie("kept", "yes");
        cookie.setDomain(QStringLiteral("127.0.0.1"));
        cookie.setPath(QStringLiteral("/"));
        manager->cookieJar()->setCookiesFromUrl({cookie}, site);
        qDeleteAll(alerts());
        auto *cache = qobject_cast<QNetworkDiskCache *>(manager->cache());
        QVERIFY(cache);
        const QUrl cached(QStringLiteral("http://127.0.0.1/cached.js"));
        QNetworkCacheMetaData meta;
        meta.setUrl(cached);
        meta.setSaveToDisk(true);
        meta.setLastModified(QDateTime::currentDateTimeUtc());
        meta.setExpirationDate(QDateTime::currentDateTimeUtc().addDays(1));
        meta.setRawHeaders({{"Content-Type", "application/x-javascript"}});
        QIODevice *body = cache->prepare(meta);
        QVERIFY(body);
        body->write("var cached = 1;");
        cache->insert(body);
        QVERIFY(cache->metaData(cached).isValid());
        QVERIFY(cache->cacheSize() > 0);

        app->onClearCache();
        QVERIFY(!cache->metaData(cached).isValid());
        QScopedPointer<QIODevice> gone(cache->data(cached));
        QVERIFY(!gone);
        QCOMPARE(cache->cacheSize(), qint64(0));
        const QList<DesktopAlertWidget *> shown = alerts();
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown.first()->layoutType(), 2);
        QCOMPARE(shown.first()->autoCloseDelay(), 5000);
        QCOMPARE(shown.first()->title(), QString());
        QCOMPARE(shown.first()->content(), QStringLiteral("<strong>缓存已经清空</strong>"));
        QVERIFY(shown.first()->isVisible());
        QCOMPARE(manager->cookieJar()->cookiesForUrl(site).size(), 1);
        delete shown.first();
    }

    void exitSavesTheSizeOfTheHiddenWindowAndClosesAll()
    {
        auto *app = static_cast<BrowserApplication *>(qApp);
        removeFile(QStringLiteral("data/user.conf"));
        m_window->resize(700, 500);
        m_window->hide();
        QPointer<BrowserWindow> window = m_window.data();
        QPointer<BrowserWindow> second = PageManager::createWindow(QUrl(), nullptr, Qt::WindowFlags());
        // Through the tray's own menu entry "退出".
        QVERIFY(app->trayIcon());
        app->trayIcon()->menu()->actions().at(4)->trigger();
        QVERIFY(window.isNull());
        QVERIFY(second.isNull());
        QVERIFY(PageManager::windows().isEmpty());
        UserConfig saved(QStringLiteral("TrayDemo"), 0, 0);
        QVERIFY(saved.load(QStringLiteral("data/user.conf")));
        QCOMPARE(saved.width(), 700);
        QCOMPARE(saved.height(), 500);
        removeFile(QStringLiteral("data/user.conf"));
    }

private:
    void configure(const QString &mode)
    {
        appConfig().set(QStringLiteral("TrayDemo"), m_icon, QStringLiteral("托盘"), mode, QStringLiteral("5.0.0.0"),
                        QString(), 640, 480, QUrl());
    }

    QTemporaryDir m_dir;
    QString m_icon;
    QPointer<BrowserWindow> m_window;
};

int main(int argc, char **argv)
{
    // A cookie store where the program kept it before it named its organisation; the test's
    // own data folder (ctest sets it) starts empty.
    const QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    if (!dataHome.contains(QLatin1String("test-home"))) {
        std::fprintf(stderr, "XDG_DATA_HOME must be the test's own folder (run through ctest)\n");
        return 1;
    }
    QDir(dataHome).removeRecursively();
    const QString oldStore = dataHome + QStringLiteral("/Kavo.V5");
    QDir().mkpath(oldStore);
    QFile store(oldStore + QStringLiteral("/cookies.ini"));
    if (!store.open(QIODevice::WriteOnly) || store.write("[General]\nkept=1\n") < 0)
        return 1;
    store.close();
    BrowserApplication app(argc, argv);
    tst_TrayActions test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_trayactions.moc"
