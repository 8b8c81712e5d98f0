#include "bridge/remotedata.h"

#include "loopbackhttpserver.h"
#include "tests/pagescript.h"

#include <QtTest>

// Remote-data events run in a real page: its listener records what it receives, and a small
// helper reads the record back. Hostile bytes from the server must not lose an event.
class tst_RemoteDataPage : public QObject
{
    Q_OBJECT
private:
    WebView *m_view = nullptr;
    LoopbackHttpServer *m_server = nullptr;
    RemoteDataClient *m_client = nullptr;

    QVariant js(const QString &script) { return PageScript::evaluate(m_view, script); }
    int received() { return js(QStringLiteral("received.length")).toInt(); }
    QVariantMap event(int i) { return js(QStringLiteral("received[%1]").arg(i)).toMap(); }

private slots:
    void init()
    {
        m_view = WebView::create();
        QVERIFY(PageScript::showTrusted(m_view, QStringLiteral(
            "<html><body><script>var received = [];"
            "document.addEventListener('kavo.device.remote.data', function (e) {"
            "  received.push({success: e.success, id: e.id, response: e.response, status: e.extras.status,"
            "    headers: e.extras.headers, error: e.error, type: e.type}); }, false);"
            "</script></body></html>")));
        m_server = new LoopbackHttpServer;
        QVERIFY(m_server->start());
        WebView *view = m_view;
        m_client = new RemoteDataClient([view](const PageEvent::Event &event) { view->raiseEvent(event); });
    }

    void cleanup()
    {
        delete m_client;
        delete m_server;
        delete m_view;
    }

    void hostileAnswersReachTheListener_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("headerValue");
        QTest::addColumn<QString>("expectedBody");
        QTest::newRow("quotes") << QByteArray("it's \"x\"") << QByteArray("a'b\"c") << "it's \"x\"";
        QTest::newRow("backslashes") << QByteArray("C:\\dir\\n") << QByteArray("\\'") << "C:\\dir\\n";
        QTest::newRow("crlf and cr") << QByteArray("a\r\nb\rc\n") << QByteArray("v") << "a\nb\nc\n";
        QTest::newRow("line separators") << QString::fromUtf16(u"x\u2028y\u2029z").toUtf8()
                                         << QString::fromUtf16(u"h\u2028").toUtf8()
                                         << QString::fromUtf16(u"x\u2028y\u2029z");
        QTest::newRow("script end") << QByteArray("</script><script>received=null</script>")
                                    << QByteArray("</script>") << "</script><script>received=null</script>";
        QTest::newRow("injection") << QByteArray("');received=null;('") << QByteArray("'};received=null;({'")
                                   << "');received=null;('";
    }

    void hostileAnswersReachTheListener()
    {
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, headerValue);
        QFETCH(QString, expectedBody);
        m_server->route("/h", LoopbackHttpServer::simple(200, body, {"X-Value: " + headerValue}));
        m_client->request(m_server->url(QStringLiteral("/h")), QStringLiteral("h'1"), QStringLiteral("GET"),
                          QString(), QString());
        QTRY_COMPARE(received(), 1);
        const QVariantMap e = event(0);
        QCOMPARE(e.value(QStringLiteral("type")).toString(), QStringLiteral("kavo.device.remote.data"));
        QCOMPARE(e.value(QStringLiteral("success")).toBool(), true);
        QCOMPARE(e.value(QStringLiteral("id")).toString(), QStringLiteral("h'1"));
        QCOMPARE(e.value(QStringLiteral("response")).toString(), expectedBody);
        const QVariantMap headers = e.value(QStringLiteral("headers")).toMap();
        QCOMPARE(LoopbackHttpServer::answerHeader(headers, QStringLiteral("X-Value")),
                 QStringList{QString::fromUtf8(headerValue)});
    }

    void refusedConnectionReachesTheListener()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const int port = probe.serverPort();
        probe.close();
        m_client->request(QStringLiteral("http://127.0.0.1:%1/").arg(port), QStringLiteral("gone"),
                          QStringLiteral("GET"), QString(), QString());
        QTRY_COMPARE(received(), 1);
        const QVariantMap e = event(0);
        QCOMPARE(e.value(QStringLiteral("success")).toBool(), false);
        QCOMPARE(e.value(QStringLiteral("id")).toString(), QStringLiteral("gone"));
        QCOMPARE(e.value(QStringLiteral("response")).toString(), QString());
        QCOMPARE(e.value(QStringLiteral("error")).toString(),
                 QStringLiteral("Code:1, Description: The remote server refused the connection (the server is not "
                                "accepting requests)."));
    }
};

QTEST_MAIN(tst_RemoteDataPage)
#include "tst_remotedatapage.moc"
