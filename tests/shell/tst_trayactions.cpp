#include "widgets/desktopalertwidget.h"
#include "core/fileutils.h"
#include "browser/browsercontext.h"
#include "browser/browserwindow.h"
#include "browser/pagemanager.h"
#include "network/networkaccessmanager.h"
#include "shell/browserapplication.h"
#include "core/config.h"

#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkDiskCache>
#include <QPointer>
#include <QSettings>
#include <QWebSettings>
#include <QtTest>

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
        appConfig().set(QStringLiteral("TrayDemo"), QString(), QStringLiteral("托盘"), QStringLiteral("App"),
                        QStringLiteral("5.0.0.0"), QString(), 640, 480, QUrl());
        QVERIFY(isAppMode());
        m_window = PageManager::createMainWindow(QUrl(), nullptr, Qt::WindowFlags());
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

    void otherActivationsDoNothing_data()
    {
        QTest::addColumn<int>("reason");
        QTest::newRow("click") << int(QSystemTrayIcon::Trigger);
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
        QWebSettings::setMaximumPagesInCache(3);

        app->onClearCache();
        const QList<DesktopAlertWidget *> shown = alerts();
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown.first()->layoutType(), 2);
        QCOMPARE(shown.first()->autoCloseDelay(), 5000);
        QCOMPARE(shown.first()->title(), QString());
        QCOMPARE(shown.first()->content(), QStringLiteral("<strong>缓存已经清空</strong>"));
        QVERIFY(shown.first()->isVisible());
        // The engine's settings are back after the emptying.
        QCOMPARE(QWebSettings::maximumPagesInCache(), 3);
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
        app->onExitApp();
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
    QPointer<BrowserWindow> m_window;
};

int main(int argc, char **argv)
{
    BrowserApplication app(argc, argv);
    tst_TrayActions test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_trayactions.moc"
