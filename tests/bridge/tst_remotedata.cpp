#include "bridge/remotedata.h"

#include "loopbackhttpserver.h"

#include <QJSEngine>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QScopedPointer>
#include <QtTest>

Q_DECLARE_METATYPE(RemoteDataClient::HeaderList)

namespace {

// Runs every event script against a stand-in document and keeps what was dispatched, so each
// script is proven valid JavaScript and its values read back as the page would see them.
class EventRecorder
{
public:
    EventRecorder()
    {
        m_engine.evaluate(QStringLiteral("var seen = []; var document = { createEvent: function(k) {"
                                         " return { initEvent: function(n, b, c) { this.type = n;"
                                         " this.flags = b && c; } }; },"
                                         " dispatchEvent: function(e) { seen.push(e); } };"));
    }
    void run(const QString &script)
    {
        const QJSValue result = m_engine.evaluate(script);
        if (result.isError())
            m_errors << result.toString() + QStringLiteral(" in ") + script;
    }
    QJsonArray events()
    {
        return QJsonDocument::fromJson(m_engine.evaluate(QStringLiteral("JSON.stringify(seen)")).toString().toUtf8())
            .array();
    }
    int count() { return m_engine.evaluate(QStringLiteral("seen.length")).toInt(); }
    QStringList errors() const { return m_errors; }

private:
    QJSEngine m_engine;
    QStringList m_errors;
};

int refusedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const int port = probe.serverPort();
    probe.close();
    return port;
}

} // namespace

class tst_RemoteData : public QObject
{
    Q_OBJECT
private:
    QScopedPointer<LoopbackHttpServer> m_server;
    QScopedPointer<EventRecorder> m_events;
    QScopedPointer<RemoteDataClient> m_client;
    QScopedPointer<QNetworkCookieJar> m_jar;

    QJsonObject onlyEvent()
    {
        const QJsonArray events = m_events->events();
        return events.size() == 1 ? events.at(0).toObject() : QJsonObject();
    }

private slots:
    void init()
    {
        m_server.reset(new LoopbackHttpServer);
        QVERIFY(m_server->start());
        m_events.reset(new EventRecorder);
        m_jar.reset(new QNetworkCookieJar);
        EventRecorder *events = m_events.data();
        m_client.reset(new RemoteDataClient([events](const PageEvent::Event &event) { events->run(event.script); }));
        m_client->setCookieJar(m_jar.data());
    }

    void cleanup()
    {
        QCOMPARE(m_events->errors(), QStringList());
        m_client.reset();
        m_server.reset();
    }

    void headerChain_data()
    {
        using H = RemoteDataClient::HeaderList;
        QTest::addColumn<QString>("chain");
        QTest::addColumn<H>("expected");
        const auto pair = [](const char *n, const char *v) {
            return qMakePair(QString::fromUtf8(n), QString::fromUtf8(v));
        };
        QTest::newRow("example") << "12~Content-Type16~application/json" << H{pair("Content-Type", "application/json")};
        QTest::newRow("two pairs") << "5~X-One1~15~X-Two2~22" << H{pair("X-One", "1"), pair("X-Two", "22")};
        QTest::newRow("content-length dropped") << "14~content-LENGTH2~995~X-One1~1" << H{pair("X-One", "1")};
        QTest::newRow("framing and hop-by-hop names dropped")
            << "4~HOST4~evil17~Transfer-Encoding7~chunked10~Connection5~close10~Keep-Alive1~57~Upgrade3~h2c"
               "2~TE8~trailers7~Trailer5~X-Foo19~Proxy-Authorization7~Basic x5~X-One1~1"
            << H{pair("X-One", "1")};
        QTest::newRow("names that only begin alike kept")
            << "8~Hostname1~a5~TEmpo1~b11~Proxyless-X1~c" << H{pair("Hostname", "a"), pair("TEmpo", "b"), pair("Proxyless-X", "c")};
        QTest::newRow("value with tilde") << "5~X-One3~a~b" << H{pair("X-One", "a~b")};
        QTest::newRow("chinese") << QString::fromUtf8("2~名字2~值值") << H{pair("名字", "值值")};
        QTest::newRow("empty value skipped") << "5~X-One0~5~X-Two1~2" << H{pair("X-Two", "2")};
        QTest::newRow("negative length") << "-3~x" << H{};
        QTest::newRow("not a number") << "abc~" << H{};
        QTest::newRow("zero length name") << "0~3~abc" << H{};
        QTest::newRow("name without value") << "5~X-One" << H{};
        QTest::newRow("length beyond text") << "99~ab3~xyz" << H{};
        QTest::newRow("no tilde") << "hello" << H{};
        QTest::newRow("only tildes") << "~~~~~~" << H{};
        QTest::newRow("empty") << "" << H{};
    }

    void headerChain()
    {
        QFETCH(QString, chain);
        QFETCH(RemoteDataClient::HeaderList, expected);
        QCOMPARE(RemoteDataClient::parseHeaderChain(chain), expected);
    }

    void hostHeader_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("expected");
        QTest::newRow("no port") << "http://example.com/a" << "example.com";
        QTest::newRow("port 80") << "http://example.com:80/a" << "example.com";
        QTest::newRow("port 8080") << "http://example.com:8080/a" << "example.com:8080";
        QTest::newRow("port 0") << "http://example.com:0/" << "example.com";
        QTest::newRow("https no port") << "https://example.com/" << "example.com";
    }

    void hostHeader()
    {
        QFETCH(QString, url);
        QFETCH(QString, expected);
        QCOMPARE(RemoteDataClient::hostHeader(QUrl(url)), expected);
    }

    void extrasLiteralReadsBack()
    {
        QMap<QString, QString> headers;
        headers.insert(QStringLiteral("X-Quote"), QStringLiteral("it's \"q\" \\ </script>"));
        headers.insert(QStringLiteral("X-Sep"), QString::fromUtf16(u"a\u2028b\u2029c"));
        headers.insert(QStringLiteral("na'me"), QStringLiteral("v"));
        headers.insert(QStringLiteral("jsonmessage"), QStringLiteral("hidden"));
        QJSEngine engine;
        const QString literal = RemoteDataClient::extrasLiteral(201, headers);
        QVERIFY(!literal.contains(QStringLiteral("</")));
        const QJSValue extras = engine.evaluate(QStringLiteral("(") + literal + QStringLiteral(")"));
        QVERIFY2(!extras.isError(), qPrintable(literal));
        QCOMPARE(extras.property(QStringLiteral("status")).toInt(), 201);
        const QJSValue h = extras.property(QStringLiteral("headers"));
        QCOMPARE(h.property(QStringLiteral("X-Quote")).toString(), headers.value(QStringLiteral("X-Quote")));
        QCOMPARE(h.property(QStringLiteral("X-Sep")).toString(), headers.value(QStringLiteral("X-Sep")));
        QCOMPARE(h.property(QStringLiteral("na'me")).toString(), QStringLiteral("v"));
        QVERIFY(h.property(QStringLiteral("jsonmessage")).isUndefined());
    }

    void requestIsBuilt()
    {
        m_server->route("/api/echo", LoopbackHttpServer::simple(200, "ok"));
        const QString body = QStringLiteral("a=1&b=中");
        m_client->request(m_server->url(QStringLiteral("/api/echo?q=1")), QStringLiteral("r1"),
                          QStringLiteral("GET"), body,
                          QStringLiteral("12~Content-Type16~application/json14~Content-Length1~15~X-One3~uno"));
        QTRY_COMPARE(m_events->count(), 1);
        QCOMPARE(m_server->requests.size(), 1);
        const LoopbackHttpServer::Request r = m_server->requests.at(0);
        QCOMPARE(r.method, QByteArray("POST"));
        QCOMPARE(r.target, QByteArray("/api/echo?q=1"));
        QCOMPARE(r.headers.value("get"), QByteArray("/api/echo"));
        QCOMPARE(r.headers.value("host"), QStringLiteral("127.0.0.1:%1").arg(m_server->serverPort()).toUtf8());
        QCOMPARE(r.headers.value("content-type"), QByteArray("application/json"));
        QCOMPARE(r.headers.value("content-length"), QByteArray::number(body.toUtf8().size()));
        QCOMPARE(r.headers.value("x-one"), QByteArray("uno"));
        QVERIFY(!r.headers.contains("cookie"));
        QCOMPARE(r.body, body.toUtf8());
        const QJsonObject e = onlyEvent();
        QCOMPARE(e.value(QStringLiteral("type")).toString(), QStringLiteral("kavo.device.remote.data"));
        QCOMPARE(e.value(QStringLiteral("flags")).toBool(), true);
        QCOMPARE(e.value(QStringLiteral("success")).toBool(), true);
        QCOMPARE(e.value(QStringLiteral("id")).toString(), QStringLiteral("r1"));
        QCOMPARE(e.value(QStringLiteral("response")).toString(), QStringLiteral("ok"));
        QCOMPARE(e.value(QStringLiteral("extras")).toObject().value(QStringLiteral("status")).toInt(), 200);
    }

    void unsafeHeadersAreNotSent()
    {
        m_server->route("/h", LoopbackHttpServer::simple(200, "ok"));
        m_client->request(m_server->url(QStringLiteral("/h")), QStringLiteral("u"), QStringLiteral("GET"),
                          QString(), QStringLiteral("5~X-Bad12~v\r\nX-Evil: 14~X-Ok1~y"));
        QTRY_COMPARE(m_events->count(), 1);
        const LoopbackHttpServer::Request r = m_server->requests.value(0);
        QVERIFY(!r.headers.contains("x-evil"));
        QVERIFY(!r.headers.contains("x-bad"));
        QCOMPARE(r.headers.value("x-ok"), QByteArray("y"));
    }

    // The method names a header and the path is its value: a byte that would start another
    // header line, or a method that is no token, fails the request before anything is sent.
    void unsafeMethodOrPathFails_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("sent");
        QTest::newRow("CR LF in the method") << "X\r\nEvil" << "/h" << false;
        QTest::newRow("LF in the method") << "X\nEvil: 1" << "/h" << false;
        QTest::newRow("NUL in the method") << QStringLiteral("GE") + QChar(0) + QStringLiteral("T") << "/h" << false;
        QTest::newRow("blank in the method") << "GET X" << "/h" << false;
        QTest::newRow("colon in the method") << "X-A:" << "/h" << false;
        QTest::newRow("empty method") << "" << "/h" << false;
        QTest::newRow("encoded CR LF in the path") << "GET" << "/h%0D%0AX-Evil:%201" << false;
        QTest::newRow("encoded LF in the path") << "GET" << "/h%0AX-Evil:%201" << false;
        QTest::newRow("encoded NUL in the path") << "GET" << "/h%00x" << false;
        QTest::newRow("method naming Host") << "Host" << "/h" << false;
        QTest::newRow("method naming Transfer-Encoding") << "transfer-encoding" << "/h" << false;
        QTest::newRow("method naming Content-Length") << "Content-Length" << "/h" << false;
        QTest::newRow("method naming a proxy header") << "Proxy-Connection" << "/h" << false;
        QTest::newRow("token punctuation") << "X-Method_1.2!" << "/h" << true;
        QTest::newRow("encoded blank in the path") << "GET" << "/h%20x" << true;
    }

    void unsafeMethodOrPathFails()
    {
        QFETCH(QString, method);
        QFETCH(QString, path);
        QFETCH(bool, sent);
        m_server->route("/h", LoopbackHttpServer::simple(200, "ok"));
        m_server->route("/h%20x", LoopbackHttpServer::simple(200, "ok"));
        m_client->request(m_server->url(path), QStringLiteral("u'1"), method, QString(), QString());
        QTRY_COMPARE(m_events->count(), 1);
        const QJsonObject e = onlyEvent();
        QCOMPARE(e.value(QStringLiteral("id")).toString(), QStringLiteral("u'1"));
        QCOMPARE(e.value(QStringLiteral("success")).toBool(), sent);
        QCOMPARE(m_server->requests.size(), sent ? 1 : 0);
        if (!sent) {
            QVERIFY2(e.value(QStringLiteral("error")).toString().startsWith(QStringLiteral("Code:999, ")),
                     qPrintable(e.value(QStringLiteral("error")).toString()));
            QCOMPARE(m_client->pendingCount(), 0);
        } else {
            for (const auto &header : m_server->requests.at(0).rawHeaders)
                QVERIFY(!header.first.contains("evil") && !header.second.contains('\n'));
        }
    }

    void cookiesAreSentAndStored()
    {
        m_server->route("/login", LoopbackHttpServer::simple(200, "in", {"Set-Cookie: sid=abc123; Path=/"}));
        m_server->route("/whoami", LoopbackHttpServer::simple(200, "me"));
        const QUrl base(m_server->url(QStringLiteral("/")));
        m_jar->setCookiesFromUrl({QNetworkCookie("pre", "1")}, base);

        m_client->request(m_server->url(QStringLiteral("/login")), QStringLiteral("a"), QStringLiteral("POST"),
                          QString(), QString());
        QTRY_COMPARE(m_events->count(), 1);
        QCOMPARE(m_server->requests.at(0).headers.value("cookie"), QByteArray("pre=1"));
        QCOMPARE(m_jar->cookiesForUrl(base).size(), 2);

        m_client->request(m_server->url(QStringLiteral("/whoami")), QStringLiteral("b"), QStringLiteral("POST"),
                          QString(), QString());
        QTRY_COMPARE(m_events->count(), 2);
        const QList<QByteArray> sent = m_server->requests.at(1).headers.value("cookie").split(';');
        QStringList names;
        for (const QByteArray &c : sent)
            names << QString::fromUtf8(c.trimmed());
        names.sort();
        QCOMPARE(names, (QStringList{QStringLiteral("pre=1"), QStringLiteral("sid=abc123")}));
    }

    void hostileAnswerReachesThePageWhole()
    {
        const QByteArray body = QString::fromUtf16(u"it's \"q\" \\back\r\nline2\rline3\nend</script>\u2028中").toUtf8();
        m_server->route("/hostile",
                        LoopbackHttpServer::simple(200, body,
                                                   {"Content-Type: text/plain; charset=utf-8",
                                                    "X-Quote: it's \"q\" \\ x", QByteArray("X-Utf8: ") + "值'\xe2\x80\xa8",
                                                    "Last-Modified: Tue, 15 Nov 1994 08:12:31 GMT",
                                                    "jsonmessage: hidden"}));
        m_client->request(m_server->url(QStringLiteral("/hostile")), QStringLiteral("id'1"), QStringLiteral("GET"),
                          QString(), QString());
        QTRY_COMPARE(m_events->count(), 1);
        const QJsonObject e = onlyEvent();
        QCOMPARE(e.value(QStringLiteral("id")).toString(), QStringLiteral("id'1"));
        QCOMPARE(e.value(QStringLiteral("success")).toBool(), true);
        QCOMPARE(e.value(QStringLiteral("response")).toString(),
                 QString::fromUtf16(u"it's \"q\" \\back\nline2\nline3\nend</script>\u2028中"));
        const QVariantMap headers =
            e.value(QStringLiteral("extras")).toObject().value(QStringLiteral("headers")).toObject().toVariantMap();
        QCOMPARE(LoopbackHttpServer::answerHeader(headers, QStringLiteral("X-Quote")),
                 QStringList{QStringLiteral("it's \"q\" \\ x")});
        QCOMPARE(LoopbackHttpServer::answerHeader(headers, QStringLiteral("X-Utf8")),
                 QStringList{QString::fromUtf16(u"值'\u2028")});
        // The documented names are there as written here, whatever case the answer used, and
        // carry the text the server sent.
        QCOMPARE(headers.value(QStringLiteral("Content-Type")).toString(), QStringLiteral("text/plain; charset=utf-8"));
        QCOMPARE(headers.value(QStringLiteral("Content-Length")).toString(), QString::number(body.size()));
        QCOMPARE(headers.value(QStringLiteral("Last-Modified")).toString(),
                 QStringLiteral("Tue, 15 Nov 1994 08:12:31 GMT"));
        QVERIFY(LoopbackHttpServer::answerHeader(headers, QStringLiteral("jsonmessage")).isEmpty());
    }

    void httpErrorStatusesAreAnswers_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("404") << 404 << QByteArray("status body");
        QTest::newRow("500") << 500 << QByteArray("status body");
        QTest::newRow("302") << 302 << QByteArray("status body");
        // Answers without body bytes still end the request for the page, once.
        QTest::newRow("204") << 204 << QByteArray();
        QTest::newRow("200 empty") << 200 << QByteArray();
        QTest::newRow("401 empty") << 401 << QByteArray();
        QTest::newRow("404 empty") << 404 << QByteArray();
        QTest::newRow("500 empty") << 500 << QByteArray();
    }

    void httpErrorStatusesAreAnswers()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        LoopbackHttpServer::Answer answer = LoopbackHttpServer::simple(status, body, {"X-Mark: m"});
        if (status == 204)
            answer.head = "HTTP/1.1 204 No Content\r\nX-Mark: m\r\n";
        m_server->route("/s", answer);
        m_client->request(m_server->url(QStringLiteral("/s")), QStringLiteral("s"), QStringLiteral("GET"), QString(),
                          QString());
        QTRY_COMPARE(m_events->count(), 1);
        QTRY_COMPARE(m_client->pendingCount(), 0);
        QTest::qWait(50);
        QCOMPARE(m_events->count(), 1);
        const QJsonObject e = onlyEvent();
        QCOMPARE(e.value(QStringLiteral("success")).toBool(), true);
        QCOMPARE(e.value(QStringLiteral("id")).toString(), QStringLiteral("s"));
        QCOMPARE(e.value(QStringLiteral("response")).toString(), QString::fromUtf8(body));
        const QJsonObject extras = e.value(QStringLiteral("extras")).toObject();
        QCOMPARE(extras.value(QStringLiteral("status")).toInt(), status);
        QCOMPARE(LoopbackHttpServer::answerHeader(
                     extras.value(QStringLiteral("headers")).toObject().toVariantMap(), QStringLiteral("X-Mark")),
                 QStringList{QStringLiteral("m")});
    }

    // A login that answers 204 (or an empty 401) with a cookie keeps the cookie.
    void cookiesOfEmptyAnswersAreStored_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::newRow("204") << QByteArray("HTTP/1.1 204 No Content\r\nSet-Cookie: sid=s204; Path=/\r\n");
        QTest::newRow("200 empty")
            << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nSet-Cookie: sid=s200; Path=/\r\n");
        QTest::newRow("401 empty")
            << QByteArray("HTTP/1.1 401 No\r\nContent-Length: 0\r\nSet-Cookie: sid=s401; Path=/\r\n");
    }

    void cookiesOfEmptyAnswersAreStored()
    {
        QFETCH(QByteArray, head);
        LoopbackHttpServer::Answer answer;
        answer.head = head;
        m_server->route("/login", answer);
        m_client->request(m_server->url(QStringLiteral("/login")), QStringLiteral("l"), QStringLiteral("POST"),
                          QString(), QString());
        QTRY_COMPARE(m_events->count(), 1);
        const QList<QNetworkCookie> cookies = m_jar->cookiesForUrl(QUrl(m_server->url(QStringLiteral("/"))));
        QCOMPARE(cookies.size(), 1);
        QCOMPARE(cookies.at(0).name(), QByteArray("sid"));
        QVERIFY(head.contains("sid=" + cookies.at(0).value() + ";"));
    }

    void splitCharactersArriveWhole()
    {
        const QByteArray text = QStringLiteral("中文字符测试，分块到达。").toUtf8();
        LoopbackHttpServer::Answer answer = LoopbackHttpServer::simple(200, QByteArray());
        answer.head = "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(text.size()) + "\r\n";
        // Cut inside characters: 3 bytes each, so offsets 4 and 17 split one.
        answer.pieces = {text.left(4), text.mid(4, 13), text.mid(17)};
        m_server->route("/split", answer);
        m_client->request(m_server->url(QStringLiteral("/split")), QStringLiteral("p"), QStringLiteral("GET"),
                          QString(), QString());
        QTRY_COMPARE(m_client->pendingCount(), 0);
        const QJsonArray events = m_events->events();
        QVERIFY2(events.size() >= 2, "the answer should arrive in several pieces");
        QString joined;
        for (const QJsonValue &v : events) {
            const QString piece = v.toObject().value(QStringLiteral("response")).toString();
            QVERIFY(!piece.contains(QChar::ReplacementCharacter));
            QCOMPARE(v.toObject().value(QStringLiteral("id")).toString(), QStringLiteral("p"));
            joined += piece;
        }
        QCOMPARE(joined, QString::fromUtf8(text));
    }

    void networkErrorsAreAnswered_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("piecesBefore");
        QTest::newRow("refused") << "refused" << 1 << "";
        QTest::newRow("timed out") << "/silent" << 4 << "";
        QTest::newRow("closed without answer") << "/close" << 2 << "";
        QTest::newRow("unknown scheme") << "nope://127.0.0.1/x" << 301 << "";
        QTest::newRow("empty url") << "" << 301 << "";
        // After the headers: the page has the pieces read so far, then the failure.
        QTest::newRow("timed out after headers") << "/stall" << 4 << "";
        QTest::newRow("timed out after a piece") << "/stallpiece" << 4 << "part";
        QTest::newRow("dropped after headers") << "/drop" << 2 << "";
        QTest::newRow("dropped after a piece") << "/droppiece" << 2 << "part";
    }

    void networkErrorsAreAnswered()
    {
        QFETCH(QString, path);
        QFETCH(int, code);
        QFETCH(QString, piecesBefore);
        LoopbackHttpServer::Answer silent;
        silent.silent = true;
        m_server->route("/silent", silent);
        LoopbackHttpServer::Answer close;
        close.close = true;
        m_server->route("/close", close);
        LoopbackHttpServer::Answer stall;
        stall.head = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n";
        m_server->route("/stall", stall);
        stall.pieces = {"part"};
        m_server->route("/stallpiece", stall);
        LoopbackHttpServer::Answer drop = stall;
        drop.pieces.clear();
        drop.resetAfter = true;
        m_server->route("/drop", drop);
        drop.pieces = {"part"};
        m_server->route("/droppiece", drop);
        m_client->setTransferTimeout(300);
        QString url = path;
        if (path == QLatin1String("refused"))
            url = QStringLiteral("http://127.0.0.1:%1/x").arg(refusedPort());
        else if (path.startsWith(QLatin1Char('/')))
            url = m_server->url(path);
        m_client->request(url, QStringLiteral("n1"), QStringLiteral("GET"), QString(), QString());
        const int before = piecesBefore.isEmpty() ? 0 : 1;
        QTRY_COMPARE(m_events->count(), before + 1);
        QTRY_COMPARE(m_client->pendingCount(), 0);
        QTest::qWait(50);
        const QJsonArray events = m_events->events();
        QCOMPARE(events.size(), before + 1);
        if (before) {
            QCOMPARE(events.at(0).toObject().value(QStringLiteral("success")).toBool(), true);
            QCOMPARE(events.at(0).toObject().value(QStringLiteral("response")).toString(), piecesBefore);
        }
        const QJsonObject e = events.last().toObject();
        QCOMPARE(e.value(QStringLiteral("type")).toString(), QStringLiteral("kavo.device.remote.data"));
        QCOMPARE(e.value(QStringLiteral("success")).toBool(), false);
        QCOMPARE(e.value(QStringLiteral("id")).toString(), QStringLiteral("n1"));
        QCOMPARE(e.value(QStringLiteral("response")).toString(), QString());
        QVERIFY2(e.value(QStringLiteral("error")).toString().startsWith(QStringLiteral("Code:%1, Description: ").arg(code)),
                 qPrintable(e.value(QStringLiteral("error")).toString()));
    }

    void sameIdTwiceIsAnsweredTwice()
    {
        m_server->route("/a", LoopbackHttpServer::simple(200, "A"));
        m_server->route("/b", LoopbackHttpServer::simple(200, "B"));
        m_client->request(m_server->url(QStringLiteral("/a")), QStringLiteral("same"), QStringLiteral("GET"),
                          QString(), QString());
        m_client->request(m_server->url(QStringLiteral("/b")), QStringLiteral("same"), QStringLiteral("GET"),
                          QString(), QString());
        QTRY_COMPARE(m_events->count(), 2);
        QStringList responses;
        for (const QJsonValue &v : m_events->events()) {
            QCOMPARE(v.toObject().value(QStringLiteral("id")).toString(), QStringLiteral("same"));
            responses << v.toObject().value(QStringLiteral("response")).toString();
        }
        responses.sort();
        QCOMPARE(responses, (QStringList{QStringLiteral("A"), QStringLiteral("B")}));
    }

    void droppedClientRaisesNothing()
    {
        LoopbackHttpServer::Answer silent;
        silent.silent = true;
        m_server->route("/silent", silent);
        m_client->request(m_server->url(QStringLiteral("/silent")), QStringLiteral("d"), QStringLiteral("GET"),
                          QString(), QString());
        QTRY_COMPARE(m_server->requests.size(), 1);
        QCOMPARE(m_client->pendingCount(), 1);
        m_client.reset();
        QTest::qWait(100);
        QCOMPARE(m_events->count(), 0);
    }
};

QTEST_GUILESS_MAIN(tst_RemoteData)
#include "tst_remotedata.moc"
