#include "browser/browsercontext.h"
#include "browser/host.h"
#include "bridge/kavodevice.h"
#include "bridge/kavofactory.h"
#include "bridge/remotedata.h"
#include "browser/browserwindow.h"
#include "httpserver/httpserver.h"
#include "core/config.h"

#include "loopbackhttpserver.h"
#include "tests/pagescript.h"
#include "tests/stderrcapture.h"

#include <QDesktopServices>
#include <QFile>
#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

namespace {

// The page every window of this test loads: it records each remote-data event it hears.
const QByteArray TestPage = "<html><head><meta charset='utf-8'><script>"
                            "var Kavo = {}; var received = [];"
                            "document.addEventListener('kavo.device.remote.data', function (e) {"
                            "  received.push({success: e.success, id: e.id, response: e.response,"
                            "    status: e.extras.status, headers: e.extras.headers, error: e.error}); });"
                            "</script></head><body>bridge test</body></html>";

} // namespace

class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls << url; }
};

// KavoDevice as a page meets it: published by a real window registered through Host::init().
class tst_KavoDevice : public QObject
{
    Q_OBJECT
private:
    LoopbackHttpServer m_server;
    BrowserWindow *m_window = nullptr;

    QVariant js(const QString &script) { return PageScript::evaluate(*m_window, script); }
    int received() { return js(QStringLiteral("received.length")).toInt(); }
    QVariantMap event(int i) { return js(QStringLiteral("received[%1]").arg(i)).toMap(); }

    bool openWindow()
    {
        m_window = new BrowserWindow(QUrl(m_server.url(QStringLiteral("/page.html"))));
        QSignalSpy ready(m_window, &BrowserWindow::pageReady);
        return QTest::qWaitFor([&] { return ready.count() > 0; }, 15000) && ready.at(0).at(0).toBool();
    }

    KavoDevice *device() const
    {
        for (QObject *object : m_window->bridgeObjects()) {
            if (auto *device = qobject_cast<KavoDevice *>(object))
                return device;
        }
        return nullptr;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(Host::instance().init());
        QVERIFY(m_server.start());
        LoopbackHttpServer::Answer page = LoopbackHttpServer::simple(200, TestPage, {"Content-Type: text/html"});
        m_server.route("/page.html", page);
        m_server.route("/data", LoopbackHttpServer::simple(200, "it's\r\n\"data\"\\", {"X-Q: a'b"}));
        m_server.route("/login", LoopbackHttpServer::simple(200, "in", {"Set-Cookie: sid=s3cr3t; Path=/"}));
        m_server.route("/whoami", LoopbackHttpServer::simple(200, "me"));
        m_server.route("/missing", LoopbackHttpServer::simple(404, "nothing here"));
        // About half a second in pieces: long enough for the page to be replaced meanwhile.
        LoopbackHttpServer::Answer slow = LoopbackHttpServer::simple(200, "slowly");
        slow.pieces = {"s", "l", "o", "w", "l", "y"};
        m_server.route("/slow", slow);
    }

    void init()
    {
        // The loopback server stands for the application's own origin.
        BrowserContext::setTrustedOrigins({m_server.url(QString())});
        QVERIFY(openWindow());
    }

    void cleanup()
    {
        delete m_window;
        m_window = nullptr;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void windowPublishesTheBridge()
    {
        QCOMPARE(js(QStringLiteral("typeof KavoDevice.getRemoteDataExt")).toString(), QStringLiteral("function"));
        QCOMPARE(js(QStringLiteral("KavoFactory.createObject('ClientDb') !== null")).toBool(), true);
        QCOMPARE(js(QStringLiteral("KavoFactory.createObject('clientdb') === null")).toBool(), true);
        QCOMPARE(js(QStringLiteral("KavoDevice.getVersion()")).toString(), appConfig().version());
    }

    void answersReachTheListener_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("success");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("response");
        QTest::newRow("data") << "/data" << true << 200 << "it's\n\"data\"\\";
        QTest::newRow("not found") << "/missing" << true << 404 << "nothing here";
    }

    void answersReachTheListener()
    {
        QFETCH(QString, path);
        QFETCH(bool, success);
        QFETCH(int, status);
        QFETCH(QString, response);
        js(QStringLiteral("KavoDevice.getRemoteDataExt('%1', 'call-1', 'GET', '', '')").arg(m_server.url(path)));
        QTRY_COMPARE(received(), 1);
        const QVariantMap e = event(0);
        QCOMPARE(e.value(QStringLiteral("success")).toBool(), success);
        QCOMPARE(e.value(QStringLiteral("id")).toString(), QStringLiteral("call-1"));
        QCOMPARE(e.value(QStringLiteral("status")).toInt(), status);
        QCOMPARE(e.value(QStringLiteral("response")).toString(), response);
    }

    void refusedConnectionIsAnswered()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const int port = probe.serverPort();
        probe.close();
        js(QStringLiteral("KavoDevice.getRemoteDataExt('http://127.0.0.1:%1/', 'r', 'GET', '', '')").arg(port));
        QTRY_COMPARE(received(), 1);
        QCOMPARE(event(0).value(QStringLiteral("success")).toBool(), false);
        QVERIFY(event(0).value(QStringLiteral("error")).toString().startsWith(QStringLiteral("Code:1, ")));
    }

    void cookiesGoThroughTheApplicationJar()
    {
        js(QStringLiteral("KavoDevice.getRemoteDataExt('%1', 'a', 'GET', '', '')").arg(m_server.url("/login")));
        QTRY_COMPARE(received(), 1);
        const int before = m_server.requests.size();
        js(QStringLiteral("KavoDevice.getRemoteDataExt('%1', 'b', 'GET', '', '')").arg(m_server.url("/whoami")));
        QTRY_COMPARE(received(), 2);
        QCOMPARE(m_server.requests.size(), before + 1);
        QCOMPARE(m_server.requests.last().headers.value("cookie"), QByteArray("sid=s3cr3t"));
    }

    // The answer to a call of the old document never reaches the new one.
    void reloadReplacesTheDevice()
    {
        QPointer<KavoDevice> old = device();
        QVERIFY(old);
        js(QStringLiteral("KavoDevice.getRemoteDataExt('%1', 'old', 'GET', '', '')").arg(m_server.url("/slow")));
        QSignalSpy ready(m_window, &BrowserWindow::pageReady);
        js(QStringLiteral("location.reload()"));
        QTRY_VERIFY_WITH_TIMEOUT(ready.count() > 0, 15000);
        QVERIFY(!old);
        QVERIFY(device());
        QTest::qWait(1000);
        QCOMPARE(received(), 0);
    }

    void showRemoteSiteOpensWebAndMailOnly_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("opened");
        QTest::newRow("http") << "http://example.com/a?b=1" << true;
        QTest::newRow("https") << "https://example.com/" << true;
        QTest::newRow("upper-case scheme") << "HTTPS://example.com/" << true;
        QTest::newRow("mailto") << "mailto:someone@example.com" << true;
        QTest::newRow("local file") << "file:///etc/passwd" << false;
        QTest::newRow("custom handler") << "kavo-evil://run/something" << false;
        QTest::newRow("no scheme") << "/etc/passwd" << false;
        QTest::newRow("javascript") << "javascript:alert(1)" << false;
    }

    void showRemoteSiteOpensWebAndMailOnly()
    {
        QFETCH(QString, url);
        QFETCH(bool, opened);
        UrlCatcher catcher;
        const QStringList schemes{"http", "https", "mailto", "file", "kavo-evil", "javascript"};
        for (const QString &scheme : schemes)
            QDesktopServices::setUrlHandler(scheme, &catcher, "open");
        js(QStringLiteral("KavoDevice.showRemoteSite('%1')").arg(url));
        for (const QString &scheme : schemes)
            QDesktopServices::unsetUrlHandler(scheme);
        QCOMPARE(catcher.urls, opened ? QList<QUrl>{QUrl(url)} : QList<QUrl>());
        QCOMPARE(received(), 0);
    }

    // The demo's remote page, served by the program's own HTTP server from the source tree,
    // fetches its sample through KavoDevice and shows status, headers and body.
    void demoRemotePageShowsTheAnswer()
    {
        HttpServer server(qEnvironmentVariable("KAVO_SOURCE_DIR"));
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        BrowserContext::setTrustedOrigins(BrowserContext::applicationOrigins(server.serverPort(), server.heldOrigins(), QUrl(), {}));
        delete m_window;
        m_window = new BrowserWindow(QUrl(QStringLiteral("http://127.0.0.1:%1/demo/remote.html").arg(server.serverPort())));
        QSignalSpy ready(m_window, &BrowserWindow::pageReady);
        QTRY_VERIFY_WITH_TIMEOUT(ready.count() > 0, 15000);
        QVERIFY(ready.at(0).at(0).toBool());
        js(QStringLiteral("document.querySelector('#request button').click()"));
        QTRY_COMPARE(js(QStringLiteral("document.getElementById('state').textContent")).toString(),
                     QStringLiteral("HTTP 200"));
        const QString body = js(QStringLiteral("document.getElementById('response').textContent")).toString();
        QVERIFY2(body.contains(QStringLiteral("来自本地服务器的问候")), qPrintable(body));
        QVERIFY(body.contains(QStringLiteral("it's \\\"quoted\\\"")));
        const QString headers = js(QStringLiteral("document.getElementById('headerTable').textContent")).toString();
        QVERIFY2(headers.contains(QStringLiteral("Content-Length")), qPrintable(headers));
    }

    void goneWindowIsReported()
    {
        BrowserWindow *window = new BrowserWindow;
        KavoDevice orphan(window);
        delete window;
        StderrCapture capture;
        orphan.getRemoteDataExt(m_server.url(QStringLiteral("/data")), QStringLiteral("o"), QStringLiteral("GET"),
                                QString(), QString());
        QVERIFY(QTest::qWaitFor([&] { return orphan.remoteData()->pendingCount() == 0; }, 5000));
        const QString text = QString::fromUtf8(capture.text());
        QVERIFY2(text.contains(QStringLiteral("错误: 无窗口对象,执行JS失败！\n文件：kavodevice.cpp, 行：")), qPrintable(text));
    }
};

QTEST_MAIN(tst_KavoDevice)
#include "tst_kavodevice.moc"
