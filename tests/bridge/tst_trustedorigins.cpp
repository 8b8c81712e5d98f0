#include "bridge/kavoupdate.h"
#include "browser/browsercontext.h"
#include "browser/browserwindow.h"
#include "browser/host.h"
#include "browser/pagemanager.h"
#include "browser/webview.h"
#include "core/config.h"
#include "core/fileutils.h"
#include "httpserver/httpserver.h"

#include "loopbackhttpserver.h"
#include "network/networkaccessmanager.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Every page of this test: what it finds of the bridge, the web root and the events it heard. It
// reports them in its title, which the engine reads whatever the document's origin; a page in an
// iframe reports to the page around it, which shows that report instead of its own.
QByteArray page(const QByteArray &extra = QByteArray())
{
    return "<html><head><meta charset='utf-8'><script>"
           "var Kavo = {}; var heard = []; var framed = '';"
           "function probe() { return ['KavoFactory', 'KavoDevice', 'KavoFile', 'KavoCamera', 'KavoUpdate',"
           " 'KavoNotification'].map(function (n) { return typeof window[n]; }).join(',')"
           " + '|' + (Kavo.webRoot || '') + '|' + heard.join(','); }"
           "function report() { document.title = framed || probe();"
           " if (window.parent !== window) window.parent.postMessage(probe(), '*'); }"
           "function hear(e) { heard.push(e.type); report(); }"
           "document.addEventListener('kavo.window.loaded', hear);"
           "document.addEventListener('kavo.test.ping', hear);"
           "window.addEventListener('message', function (e) { framed = e.data; report(); });"
           "window.addEventListener('load', report);"
           "</script></head><body>"
        + extra + "</body></html>";
}

// An event raised the way the bridge objects raise theirs.
const char PingScript[] = "var ev = document.createEvent('Events');ev.initEvent('kavo.test.ping',true,true);"
                          "document.dispatchEvent(ev);";

} // namespace

// Which documents get the bridge: the local server's, the configured Url's and the listed
// origins; nothing else, however it was reached. Five servers on loopback, the last an https
// impostor with a self-signed certificate on a trusted origin; local files of one folder.
class tst_TrustedOrigins : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;
    HttpServer *m_local = nullptr;
    LoopbackHttpServer m_configured;
    LoopbackHttpServer m_extra;
    LoopbackHttpServer m_other;
    LoopbackHttpServer m_tls;
    int m_certificateQuestions = 0;

    QString local(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1/data/T/%2").arg(m_local->serverPort()).arg(path);
    }
    QString steeredUrl() const
    {
        return local(QStringLiteral("update.html?version=5.0.0.9&url=%1#auto").arg(m_other.url("/evil.zip")));
    }
    QString webRoot() const { return QStringLiteral("http://localhost:%1/data/T").arg(m_local->serverPort()); }
    // A local file of the test's root; the application's are in "files".
    QString file(const QString &path) const { return QUrl::fromLocalFile(m_root.filePath(path)).toString(); }
    // The impostor's page under a name that is not trusted.
    QString tlsByName() const { return QStringLiteral("https://localhost:%1/page.html").arg(m_tls.serverPort()); }

    // A self-signed certificate for localhost, made for this run.
    bool makeCertificate()
    {
        const QString key = m_root.filePath(QStringLiteral("tls.key"));
        const QString certificate = m_root.filePath(QStringLiteral("tls.crt"));
        if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty())
            return false;
        if (QProcess::execute(QStringLiteral("openssl"),
                              {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=localhost",
                               "-keyout", key, "-out", certificate})
            != 0)
            return false;
        QFile keyFile(key), certificateFile(certificate);
        if (!keyFile.open(QIODevice::ReadOnly) || !certificateFile.open(QIODevice::ReadOnly))
            return false;
        m_tls.useTls(QSslCertificate(certificateFile.readAll()), QSslKey(keyFile.readAll(), QSsl::Rsa));
        return true;
    }

    void writePage(const QString &name, const QByteArray &html)
    {
        const QString path = name.contains(QLatin1Char('/')) ? name : QStringLiteral("data/T/") + name;
        QDir().mkpath(QFileInfo(m_root.filePath(path)).path());
        QFile file(m_root.filePath(path));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(html);
    }

    // Read from the title: what the window itself runs in the page is what is being tested.
    static QString report(BrowserWindow *window) { return window->webView()->title(); }

    // A page of another origin opened the demo's update page with an announcement in its address:
    // the page has the bridge and acts on nothing of that address.
    void steeredPageStartsNothing(BrowserWindow *window, const QString &target)
    {
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         return window->webView()->url().matches(QUrl(target), QUrl::None) && !window->isLoading()
                             && window->bridgeObjects().size() == 6;
                     },
                     15000),
                 qPrintable(window->webView()->url().toString()));
        // The page announced by itself 300 ms after loading when it still read its address.
        QTest::qWait(1500);
        KavoUpdate *client = KavoUpdate::instance();
        QVERIFY(!client->process());
        QVERIFY2(client->version().isEmpty(), qPrintable(client->version()));
        QVERIFY(!QFileInfo::exists(absolutePath(QStringLiteral("data/update/") + appConfig().name())));
        for (const LoopbackHttpServer::Request &request : std::as_const(m_other.requests))
            QVERIFY2(!request.target.contains("evil.zip"), request.target.constData());
    }

    // The https impostor: no question, the load fails (the program's error text stands in), no
    // objects, and the page's bytes never went out.
    void impostorIsRefused(BrowserWindow *window)
    {
        m_tls.requests.clear();
        QSignalSpy ready(window, &BrowserWindow::pageReady);
        QVERIFY(ready.wait(15000) || !ready.isEmpty());
        QCOMPARE(ready.first().first().toBool(), false);
        QTest::qWait(500);
        QCOMPARE(m_certificateQuestions, 0);
        QCOMPARE(window->bridgeObjects().size(), 0);
        QVERIFY2(!report(window).contains(QLatin1Char('|')), qPrintable(report(window)));
        QVERIFY(m_tls.requests.isEmpty());
    }

    static bool loaded(BrowserWindow *window, const QString &url)
    {
        return QTest::qWaitFor(
            [&] {
                return window->webView()->url() == QUrl(url) && !window->isLoading()
                    && report(window).contains(QLatin1Char('|'));
            },
            15000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(Host::instance().init());
        QVERIFY(m_root.isValid());
        m_local = new HttpServer(m_root.path(), this);
        QVERIFY(m_local->listen(QHostAddress::LocalHost, 0, {QStringLiteral("localhost")}));
        QVERIFY(m_configured.start());
        QVERIFY(m_extra.start());
        QVERIFY(m_other.start());
        QVERIFY2(makeCertificate(), "openssl could not make a certificate (Debian package openssl)");
        QVERIFY(m_tls.start());
        const LoopbackHttpServer::Answer plain = LoopbackHttpServer::simple(200, page(), {"Content-Type: text/html"});
        m_configured.route("/page.html", plain);
        m_extra.route("/page.html", plain);
        m_other.route("/page.html", plain);
        m_tls.route("/page.html", plain);
        m_other.route("/opener", LoopbackHttpServer::simple(200, page("<script>window.open('" + m_extra.url("/page.html").toUtf8()
                                                                      + "');</script>"),
                                                            {"Content-Type: text/html"}));
        // The folder of a configured local start page, a folder beside it whose name begins
        // alike, and one elsewhere.
        for (const char *folder : {"files/", "files-other/", "elsewhere/"})
            writePage(QLatin1String(folder) + QStringLiteral("page.html"), page());
        LoopbackHttpServer::Answer away;
        away.head = "HTTP/1.1 302 Found\r\nContent-Length: 0\r\nLocation: " + m_other.url("/page.html").toUtf8() + "\r\n";
        m_configured.route("/away", away);
        writePage(QStringLiteral("page.html"), page());
        writePage(QStringLiteral("link.html"), page("<a id='out' href='" + m_other.url("/page.html").toUtf8() + "'>out</a>"));
        writePage(QStringLiteral("frame.html"), page("<iframe src='" + m_other.url("/page.html").toUtf8() + "'></iframe>"));
        writePage(QStringLiteral("sameframe.html"), page("<iframe src='page.html'></iframe>"));
        LoopbackHttpServer::Answer home;
        home.head = "HTTP/1.1 302 Found\r\nContent-Length: 0\r\nLocation: " + local(QStringLiteral("page.html")).toUtf8() + "\r\n";
        m_other.route("/home", home);

        // The demo's own update page, served from the trusted local server, and a page elsewhere
        // that opens it with an announcement in the query and the fragment the page once obeyed.
        for (const char *name : {"update.html", "kavo.js", "style.css"})
            QVERIFY(
                QFile::copy(qEnvironmentVariable("KAVO_SOURCE_DIR") + QStringLiteral("/demo/") + QLatin1String(name),
                            m_root.filePath(QStringLiteral("data/T/") + QLatin1String(name))));
        const QByteArray steer
            = "<html><body><script>location.replace('" + steeredUrl().toUtf8() + "');</script></body></html>";
        m_other.route("/steer", LoopbackHttpServer::simple(200, steer, {"Content-Type: text/html"}));
        // The application a page's announcement would update, as the program sets it.
        appConfig().set(QStringLiteral("TrustTest%1").arg(QCoreApplication::applicationPid()), QString(),
                        QStringLiteral("Test"), QString(), QStringLiteral("5.0.0.0"), QString(), 0, 0, QUrl());

        BrowserContext::setWebRoot(webRoot());
        BrowserContext::setTrustedOrigins(BrowserContext::applicationOrigins(
            m_local->serverPort(), m_local->heldOrigins(), QUrl(m_configured.url("/page.html")),
            {m_extra.url(QString()), m_tls.url(QString()), file(QStringLiteral("files/index.html"))}));
        BrowserContext::networkAccessManager()->setSslQuestion([this](const QString &, const QString &) {
            ++m_certificateQuestions;
            return true;
        });
    }

    void cleanup()
    {
        PageManager::closeAll();
        KavoUpdate::destroyInstance();
        m_certificateQuestions = 0;
        removeDir(absolutePath(QStringLiteral("data/update/") + appConfig().name()));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void origins_data()
    {
        QTest::addColumn<QString>("how");    // direct, link, open, iframe, factory
        QTest::addColumn<QString>("start");  // the page the window loads first
        QTest::addColumn<QString>("target"); // the document whose bridge is checked
        QTest::addColumn<bool>("trusted");
        const QString otherPage = m_other.url("/page.html");
        const QString localPage = local(QStringLiteral("page.html"));
        QTest::newRow("local server") << "direct" << localPage << localPage << true;
        QTest::newRow("local server as localhost")
            << "direct" << QStringLiteral("http://localhost:%1/data/T/page.html").arg(m_local->serverPort())
            << QStringLiteral("http://localhost:%1/data/T/page.html").arg(m_local->serverPort()) << true;
        QTest::newRow("configured Url's origin") << "direct" << m_configured.url("/page.html") << m_configured.url("/page.html") << true;
        QTest::newRow("listed origin") << "direct" << m_extra.url("/page.html") << m_extra.url("/page.html") << true;
        QTest::newRow("another port") << "direct" << otherPage << otherPage << false;
        QTest::newRow("by a link") << "link" << local(QStringLiteral("link.html")) << otherPage << false;
        QTest::newRow("by a redirect") << "direct" << m_configured.url("/away") << otherPage << false;
        QTest::newRow("redirected home") << "direct" << m_other.url("/home") << localPage << true;
        QTest::newRow("by window.open") << "open" << localPage << otherPage << false;
        QTest::newRow("window.open at home") << "open" << localPage << m_extra.url("/page.html") << true;
        QTest::newRow("in an iframe") << "iframe" << local(QStringLiteral("frame.html")) << otherPage << false;
        QTest::newRow("in an iframe at home") << "iframe" << local(QStringLiteral("sameframe.html")) << localPage << false;
        QTest::newRow("factory window elsewhere") << "factory" << otherPage << otherPage << false;
        QTest::newRow("factory window at home") << "factory" << localPage << localPage << true;
        QTest::newRow("steered to the update page with an announcement")
            << "steered" << m_other.url("/steer") << steeredUrl() << true;
        // Every address the local server holds is its origin; ::1 only where the machine has it.
        if (m_local->heldAddresses().contains(QHostAddress(QHostAddress::LocalHostIPv6))) {
            const QString v6 = QStringLiteral("http://[::1]:%1/data/T/page.html").arg(m_local->serverPort());
            QTest::newRow("local server over IPv6") << "direct" << v6 << v6 << true;
        }
        QTest::newRow("window.open by a page elsewhere, landing at home")
            << "opens" << m_other.url("/opener") << m_extra.url("/page.html") << false;
        QTest::newRow("local file in the start page's folder")
            << "direct" << file(QStringLiteral("files/page.html")) << file(QStringLiteral("files/page.html")) << true;
        QTest::newRow("local file in a folder beside it")
            << "direct" << file(QStringLiteral("files-other/page.html")) << file(QStringLiteral("files-other/page.html"))
            << false;
        QTest::newRow("local file elsewhere")
            << "direct" << file(QStringLiteral("elsewhere/page.html")) << file(QStringLiteral("elsewhere/page.html"))
            << false;
        // A certificate error on a trusted origin fails the load unasked; elsewhere it is asked
        // (and here answered yes).
        QTest::newRow("https impostor on a trusted origin") << "tls" << m_tls.url("/page.html") << m_tls.url("/page.html") << false;
        QTest::newRow("https elsewhere, certificate asked") << "tls" << tlsByName() << tlsByName() << false;
    }

    void origins()
    {
        QFETCH(QString, how);
        QFETCH(QString, start);
        QFETCH(QString, target);
        QFETCH(bool, trusted);

        BrowserWindow *window = nullptr;
        if (how == QLatin1String("factory")) {
            // A "Window" exactly as KavoFactory.createObject makes it.
            window = qobject_cast<BrowserWindow *>(Host::instance().lookupCreator(QStringLiteral("Window"))());
            QVERIFY(window);
            window->setAttribute(Qt::WA_DeleteOnClose);
            window->setAppUrl(QUrl(start), 0);
        } else {
            window = PageManager::createWindow(QUrl(start), nullptr, Qt::WindowFlags());
        }
        QPointer<BrowserWindow> guard(window);
        if (how == QLatin1String("steered")) {
            steeredPageStartsNothing(window, target);
            return;
        }
        if (how == QLatin1String("tls") && BrowserContext::isTrustedOrigin(QUrl(target))) {
            impostorIsRefused(window);
            return;
        }
        const QString first = how == QLatin1String("direct") || how == QLatin1String("tls") ? target : start;
        if (how != QLatin1String("opens"))
            QVERIFY2(loaded(window, first), qPrintable(window->webView()->url().toString()));
        if (how == QLatin1String("tls"))
            QCOMPARE(m_certificateQuestions, 1);

        if (how == QLatin1String("link")) {
            window->runScript(QStringLiteral("document.getElementById('out').click();"));
            QVERIFY(loaded(window, target));
        } else if (how == QLatin1String("open") || how == QLatin1String("opens")) {
            // A page of another origin opens the window by itself, as it loads.
            const int before = how == QLatin1String("open") ? PageManager::windows().size() : 1;
            if (how == QLatin1String("open"))
                window->runScript(QStringLiteral("window.open('%1');").arg(target));
            QTRY_COMPARE_WITH_TIMEOUT(PageManager::windows().size(), before + 1, 10000);
            window = PageManager::windows().last();
            QVERIFY(loaded(window, target));
            // Opened without a size, it has a usable one of its own.
            QVERIFY2(window->width() >= 400 && window->height() >= 300,
                     qPrintable(QStringLiteral("%1x%2").arg(window->width()).arg(window->height())));
        }

        // An iframe is never trusted, and it hears none of the events of the page around it.
        window->runScript(QString::fromLatin1(PingScript));
        const QString expected = trusted
            ? QStringLiteral("object,object,object,object,object,object|%1/|kavo.window.loaded,kavo.test.ping")
                  .arg(webRoot())
            : QStringLiteral("undefined,undefined,undefined,undefined,undefined,undefined||");
        QTRY_COMPARE(report(window), expected);
        // Nothing reaches the document later either.
        QTest::qWait(200);
        QCOMPARE(report(window), expected);
        if (how == QLatin1String("factory") && guard)
            delete guard.data();
    }

    // Trust follows the document: the same window loses the bridge when it leaves home and
    // gets a fresh one when it comes back.
    void sameWindowFollowsItsDocument()
    {
        BrowserWindow *window = PageManager::createWindow(QUrl(local(QStringLiteral("page.html"))), nullptr, Qt::WindowFlags());
        QVERIFY(loaded(window, local(QStringLiteral("page.html"))));
        QCOMPARE(window->bridgeObjects().size(), 6);
        window->webView()->load(QUrl(m_other.url("/page.html")));
        QVERIFY(loaded(window, m_other.url("/page.html")));
        QCOMPARE(window->bridgeObjects().size(), 0);
        window->webView()->load(QUrl(m_extra.url("/page.html")));
        QVERIFY(loaded(window, m_extra.url("/page.html")));
        QCOMPARE(window->bridgeObjects().size(), 6);
    }

    void originsAreNormalised_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("origin");
        QTest::newRow("default http port") << "http://Example.COM/a" << "http://example.com:80";
        QTest::newRow("default https port") << "https://example.com" << "https://example.com:443";
        QTest::newRow("explicit port") << "http://127.0.0.1:58899/data/x.html?q=1" << "http://127.0.0.1:58899";
        QTest::newRow("scheme case") << "HTTP://localhost:58899" << "http://localhost:58899";
        QTest::newRow("local file") << "file:///opt/app/index.html" << "file://";
        QTest::newRow("IPv6 host") << "http://[::1]:58899/data/x.html" << "http://[::1]:58899";
        QTest::newRow("no host") << "about:blank" << "";
        QTest::newRow("other scheme without port") << "ftp://example.com/" << "";
    }

    void originsAreNormalised()
    {
        QFETCH(QString, url);
        QFETCH(QString, origin);
        QCOMPARE(BrowserContext::originOf(QUrl(url)), origin);
    }

    // What the program trusts from what the server holds and what qt.conf names: a loopback
    // origin on the server's port only when the server holds it; local files by folder.
    void applicationOrigins_data()
    {
        QTest::addColumn<QStringList>("held");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<QStringList>("trusted");
        QTest::addColumn<QStringList>("untrusted");
        const QStringList local{QStringLiteral("http://127.0.0.1:58899"), QStringLiteral("http://[::1]:58899"),
                                QStringLiteral("http://localhost:58899")};
        QTest::newRow("server on loopback")
            << local << "http://localhost:58899/data/App/index.html" << QStringList{"https://app.example.com"}
            << QStringList{"http://localhost:58899/a", "http://[::1]:58899/a", "https://app.example.com/a"}
            << QStringList{"http://127.0.0.2:58899/a", "http://localhost:58900/a"};
        QTest::newRow("server elsewhere")
            << QStringList{"http://192.168.1.5:58899"} << "http://localhost:58899/data/App/index.html"
            << QStringList{"http://127.0.0.1:58899", "http://127.0.0.1:8080", "https://app.example.com"}
            << QStringList{"http://192.168.1.5:58899/a", "http://127.0.0.1:8080/a", "https://app.example.com/a"}
            << QStringList{"http://localhost:58899/a", "http://127.0.0.1:58899/a", "http://[::1]:58899/a"};
        QTest::newRow("local start page")
            << local << "file:///opt/app/index.html" << QStringList()
            << QStringList{"file:///opt/app/index.html", "file:///opt/app/sub/page.html"}
            << QStringList{"file:///opt/other/page.html", "file:///opt/app-x/page.html", "file:///opt/app/../x.html",
                           "file:///etc/passwd"};
        QTest::newRow("whole disk refused")
            << local << QString() << QStringList{"file:///"} << QStringList()
            << QStringList{"file:///opt/app/index.html", "file:///x.html"};
    }

    void applicationOrigins()
    {
        QFETCH(QStringList, held);
        QFETCH(QString, url);
        QFETCH(QStringList, listed);
        QFETCH(QStringList, trusted);
        QFETCH(QStringList, untrusted);
        const QStringList before = BrowserContext::trustedOrigins();
        BrowserContext::setTrustedOrigins(BrowserContext::applicationOrigins(58899, held, QUrl(url), listed));
        for (const QString &one : std::as_const(trusted))
            QVERIFY2(BrowserContext::isTrustedOrigin(QUrl(one)), qPrintable(one));
        for (const QString &one : std::as_const(untrusted))
            QVERIFY2(!BrowserContext::isTrustedOrigin(QUrl(one)), qPrintable(one));
        BrowserContext::setTrustedOrigins(before);
    }
};

QTEST_MAIN(tst_TrustedOrigins)
#include "tst_trustedorigins.moc"

#include <utility>
