#include "httpserver/httpserver.h"

#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Answer
{
    int status = 0;
    QHash<QByteArray, QByteArray> headers; // lower-case names
    QByteArray body;
};

// Parses answers as they arrive; a body is delimited by Content-Length or by the close.
class Client
{
public:
    explicit Client(quint16 port)
    {
        socket.connectToHost(QHostAddress::LocalHost, port);
        socket.waitForConnected(3000);
    }

    QList<Answer> exchange(const QByteArray &bytes, int count, bool headOnly = false)
    {
        socket.write(bytes);
        QList<Answer> answers;
        QElapsedTimer timer;
        timer.start();
        while (answers.size() < count && timer.elapsed() < 5000) {
            Answer answer;
            if (takeAnswer(&answer, headOnly)) {
                answers.append(answer);
                continue;
            }
            if (socket.state() != QAbstractSocket::ConnectedState) {
                if (takeAnswer(&answer, headOnly, true))
                    answers.append(answer);
                break;
            }
            QTest::qWait(5);
            buffer += socket.readAll();
        }
        return answers;
    }

    bool closedByServer(int ms = 2000)
    {
        QElapsedTimer timer;
        timer.start();
        while (socket.state() == QAbstractSocket::ConnectedState && timer.elapsed() < ms)
            QTest::qWait(10);
        return socket.state() != QAbstractSocket::ConnectedState;
    }

    QTcpSocket socket;
    QByteArray buffer;

private:
    bool takeAnswer(Answer *answer, bool headOnly, bool atClose = false)
    {
        buffer += socket.readAll();
        const int headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return false;
        const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
        answer->status = lines.value(0).split(' ').value(1).toInt();
        for (int i = 1; i < lines.size(); ++i) {
            const int colon = lines[i].indexOf(':');
            answer->headers.insert(lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
        }
        int bodyLength = 0;
        if (!headOnly && answer->headers.contains("content-length"))
            bodyLength = answer->headers.value("content-length").toInt();
        else if (!headOnly) {
            if (!atClose)
                return false;
            bodyLength = buffer.size() - headEnd - 4;
        }
        if (buffer.size() < headEnd + 4 + bodyLength)
            return false;
        answer->body = buffer.mid(headEnd + 4, bodyLength);
        buffer.remove(0, headEnd + 4 + bodyLength);
        return true;
    }
};

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

} // namespace

class TestHttpServer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void answers_data();
    void answers();
    void keepAliveAndPipelining();
    void headSplitOverReads();
    void malformedAndOversizeHeads_data();
    void malformedAndOversizeHeads();
    void versionedCachingAnd304();
    void largeFileIsStreamed();
    void byteRanges_data();
    void byteRanges();
    void changedFileIsServedFresh();
    void incompleteHeadTimesOut();
    void blackBoxProcess();

private:
    QTemporaryDir m_root;
    QTemporaryDir m_outside;
    std::unique_ptr<HttpServer> m_server;
};

void TestHttpServer::initTestCase()
{
    QVERIFY(m_root.isValid());
    writeFile(m_root.filePath("index.html"), "<p>hi</p>");
    writeFile(m_root.filePath("readme"), "plain");
    writeFile(m_root.filePath("x/photo.JPG"), "jpg");
    writeFile(m_root.filePath("a.b/file"), "file");
    writeFile(m_root.filePath("empty.txt"), "");
    writeFile(m_root.filePath("list.json"), "{\"a\":\"中\"}");
    writeFile(m_outside.filePath("secret.txt"), "secret");
    writeFile(m_root.filePath("pkgsrc/app/main.js"), "var a;");
    writeFile(m_root.filePath("damaged.zip"), "this is no zip");
    QProcess zip;
    zip.setWorkingDirectory(m_root.filePath("pkgsrc"));
    zip.start("zip", {"-q", "-r", m_root.filePath("pkg.zip"), "app"});
    QVERIFY(zip.waitForFinished() && zip.exitCode() == 0);
    QDir().mkpath(m_root.filePath("damaged"));

    m_server = std::make_unique<HttpServer>(m_root.path());
    QVERIFY(m_server->listen(QHostAddress::LocalHost, 0));
}

void TestHttpServer::answers_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("connection");

    const QByteArray notFound = "NOT Found!";
    const QByteArray forbidden = "Forbidden，您没有权限查看!";
    QTest::newRow("root is forbidden") << QByteArray("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n") << 403 << QByteArray() << forbidden << QByteArray("keep-alive");
    QTest::newRow("html file") << QByteArray("GET /index.html HTTP/1.1\r\n\r\n") << 200 << QByteArray("text/html; charset=utf-8") << QByteArray("<p>hi</p>") << QByteArray("keep-alive");
    QTest::newRow("json file") << QByteArray("GET /list.json HTTP/1.1\r\n\r\n") << 200 << QByteArray("application/json; charset=utf-8") << QByteArray("{\"a\":\"中\"}") << QByteArray("keep-alive");
    QTest::newRow("no dot is text") << QByteArray("GET /readme HTTP/1.1\r\n\r\n") << 200 << QByteArray("text/plain") << QByteArray("plain") << QByteArray("keep-alive");
    QTest::newRow("suffix is case-sensitive") << QByteArray("GET /x/photo.JPG HTTP/1.1\r\n\r\n") << 200 << QByteArray() << QByteArray("jpg") << QByteArray("keep-alive");
    QTest::newRow("suffix from last segment") << QByteArray("GET /a.b/file HTTP/1.1\r\n\r\n") << 200 << QByteArray("text/plain") << QByteArray("file") << QByteArray("keep-alive");
    QTest::newRow("missing file") << QByteArray("GET /nope.txt HTTP/1.1\r\n\r\n") << 404 << QByteArray("text/html") << notFound << QByteArray("keep-alive");
    QTest::newRow("http/1.0 closes") << QByteArray("GET /readme HTTP/1.0\r\n\r\n") << 200 << QByteArray("text/plain") << QByteArray("plain") << QByteArray("close");
    QTest::newRow("post returns the file") << QByteArray("POST /readme HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc") << 200 << QByteArray("text/plain") << QByteArray("plain") << QByteArray("keep-alive");
    QTest::newRow("empty file keeps alive") << QByteArray("GET /empty.txt HTTP/1.1\r\n\r\n") << 200 << QByteArray("text/plain") << QByteArray() << QByteArray("keep-alive");
    QTest::newRow("directory") << QByteArray("GET /x HTTP/1.1\r\n\r\n") << 404 << QByteArray("text/html") << notFound << QByteArray("keep-alive");
    QTest::newRow("dot-dot") << QByteArray("GET /../" + QFileInfo(m_outside.path()).fileName().toUtf8() + "/secret.txt HTTP/1.1\r\n\r\n") << 404 << QByteArray("text/html") << notFound << QByteArray("keep-alive");
    QTest::newRow("encoded dot-dot") << QByteArray("GET /%2e%2e/%2E%2E/etc/passwd HTTP/1.1\r\n\r\n") << 404 << QByteArray("text/html") << notFound << QByteArray("keep-alive");
    QTest::newRow("absolute path") << QByteArray("GET //etc/passwd HTTP/1.1\r\n\r\n") << 404 << QByteArray("text/html") << notFound << QByteArray("keep-alive");
    QTest::newRow("encoded absolute") << QByteArray("GET /%2Fetc/passwd HTTP/1.1\r\n\r\n") << 404 << QByteArray("text/html") << notFound << QByteArray("keep-alive");
    QTest::newRow("package entry") << QByteArray("GET /pkg/app/main.js HTTP/1.1\r\n\r\n") << 200 << QByteArray("application/x-javascript; charset=utf-8") << QByteArray("var a;") << QByteArray("keep-alive");
    QTest::newRow("package with .zip") << QByteArray("GET /pkg.zip/app/main.js HTTP/1.1\r\n\r\n") << 200 << QByteArray("application/x-javascript; charset=utf-8") << QByteArray("var a;") << QByteArray("keep-alive");
    QTest::newRow("package letter case") << QByteArray("GET /pkg/APP/Main.JS HTTP/1.1\r\n\r\n") << 200 << QByteArray() << QByteArray("var a;") << QByteArray("keep-alive");
    QTest::newRow("package directory entry") << QByteArray("GET /pkg/app HTTP/1.1\r\n\r\n") << 404 << QByteArray("text/html") << notFound << QByteArray("keep-alive");
    QTest::newRow("damaged package") << QByteArray("GET /damaged/a.txt HTTP/1.1\r\n\r\n") << 404 << QByteArray("text/html") << notFound << QByteArray("keep-alive");
    QTest::newRow("foreign host") << QByteArray("GET /readme HTTP/1.1\r\nHost: evil.example:58899\r\n\r\n") << 403 << QByteArray() << forbidden << QByteArray("keep-alive");
    QTest::newRow("address host") << QByteArray("GET /readme HTTP/1.1\r\nHost: 127.0.0.1:58899\r\n\r\n") << 200 << QByteArray("text/plain") << QByteArray("plain") << QByteArray("keep-alive");
    QTest::newRow("ipv6 host") << QByteArray("GET /readme HTTP/1.1\r\nHost: [::1]:58899\r\n\r\n") << 200 << QByteArray("text/plain") << QByteArray("plain") << QByteArray("keep-alive");
    QTest::newRow("empty header value") << QByteArray("GET /readme HTTP/1.1\r\nX-A:\r\nHost: evil.example\r\n\r\n") << 403 << QByteArray() << forbidden << QByteArray("keep-alive");
    QTest::newRow("client asks to close") << QByteArray("GET /readme HTTP/1.1\r\nConnection: close\r\n\r\n") << 200 << QByteArray("text/plain") << QByteArray("plain") << QByteArray("close");
}

void TestHttpServer::answers()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, connection);

    Client client(m_server->serverPort());
    const QList<Answer> answers = client.exchange(request, 1);
    QCOMPARE(answers.size(), 1);
    const Answer &answer = answers.first();
    QCOMPARE(answer.status, status);
    QCOMPARE(answer.headers.value("content-type"), contentType);
    QCOMPARE(answer.body, body);
    QCOMPARE(answer.headers.value("connection"), connection);
    QVERIFY(answer.headers.value("date").endsWith(" GMT"));
    QCOMPARE(client.closedByServer(connection == "close" ? 2000 : 100), connection == "close");
}

void TestHttpServer::keepAliveAndPipelining()
{
    Client client(m_server->serverPort());
    const QByteArray three = "GET /readme HTTP/1.1\r\n\r\nHEAD /index.html HTTP/1.1\r\n\r\nGET /a.b/file HTTP/1.1\r\n\r\n";
    client.socket.write(three);
    QList<Answer> answers = client.exchange(QByteArray(), 1);
    answers += client.exchange(QByteArray(), 1, true);
    answers += client.exchange(QByteArray(), 1);
    QCOMPARE(answers.size(), 3);
    QCOMPARE(answers[0].body, QByteArray("plain"));
    QCOMPARE(answers[1].headers.value("content-length"), QByteArray("9"));
    QCOMPARE(answers[1].body, QByteArray());
    QCOMPARE(answers[2].body, QByteArray("file"));
    QVERIFY(!client.closedByServer(100));
}

void TestHttpServer::headSplitOverReads()
{
    Client client(m_server->serverPort());
    for (const char *piece : {"GET /rea", "dme HTTP/1.1\r\nHo", "st: 12", "7.0.0.1\r\n", "\r\n"}) {
        client.socket.write(piece);
        client.socket.flush();
        QTest::qWait(20);
    }
    const QList<Answer> answers = client.exchange(QByteArray(), 1);
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers[0].body, QByteArray("plain"));
}

void TestHttpServer::malformedAndOversizeHeads_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::newRow("garbage") << QByteArray("\x01\x02 nonsense\r\n\r\n");
    QTest::newRow("bad version") << QByteArray("GET / HTTP/x.y\r\n\r\n");
    QTest::newRow("head over 64 KiB") << QByteArray("GET /readme HTTP/1.1\r\nX-Big: " + QByteArray(70 * 1024, 'a') + "\r\n\r\n");
}

void TestHttpServer::malformedAndOversizeHeads()
{
    QFETCH(QByteArray, request);
    Client client(m_server->serverPort());
    const QList<Answer> answers = client.exchange(request, 1);
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers[0].status, 400);
    QVERIFY(client.closedByServer());
}

void TestHttpServer::versionedCachingAnd304()
{
    Client client(m_server->serverPort());
    QList<Answer> answers = client.exchange("GET /pkg/app/main.js?v=3 HTTP/1.1\r\n\r\n", 1);
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers[0].status, 200);
    QCOMPARE(answers[0].headers.value("cache-control"), QByteArray("public"));
    const QByteArray year = QByteArray::number(QDate::currentDate().year());
    QVERIFY(answers[0].headers.value("last-modified").contains(year));
    QVERIFY(answers[0].headers.value("expires").contains(QByteArray::number(year.toInt() + 1)));

    answers = client.exchange("GET /pkg/app/main.js?v=3 HTTP/1.1\r\nIf-Modified-Since: x\r\n\r\n", 1);
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers[0].status, 304);
    QVERIFY(answers[0].body.isEmpty());

    answers = Client(m_server->serverPort()).exchange("GET /readme HTTP/1.1\r\nIf-Modified-Since: x\r\n\r\n", 1);
    QCOMPARE(answers[0].status, 200);
    QVERIFY(!answers[0].headers.contains("cache-control"));
}

void TestHttpServer::largeFileIsStreamed()
{
    QByteArray big(5 * 1024 * 1024 + 7, '\0');
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(i * 31);
    writeFile(m_root.filePath("big.bin"), big);
    Client client(m_server->serverPort());
    QList<Answer> answers = client.exchange("HEAD /big.bin HTTP/1.1\r\n\r\n", 1, true);
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers[0].headers.value("content-length"), QByteArray::number(big.size()));
    answers = client.exchange("GET /big.bin HTTP/1.1\r\n\r\nGET /readme HTTP/1.1\r\n\r\n", 2);
    QCOMPARE(answers.size(), 2);
    QVERIFY(answers[0].body == big);
    QCOMPARE(answers[1].body, QByteArray("plain"));
}

void TestHttpServer::byteRanges_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("range");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentRange");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("from-to") << QByteArray("/readme") << QByteArray("bytes=1-3") << 206 << QByteArray("bytes 1-3/5") << QByteArray("lai");
    QTest::newRow("open end") << QByteArray("/readme") << QByteArray("bytes=2-") << 206 << QByteArray("bytes 2-4/5") << QByteArray("ain");
    QTest::newRow("suffix") << QByteArray("/readme") << QByteArray("bytes=-2") << 206 << QByteArray("bytes 3-4/5") << QByteArray("in");
    QTest::newRow("end clipped to the size") << QByteArray("/readme") << QByteArray("bytes=3-100") << 206 << QByteArray("bytes 3-4/5") << QByteArray("in");
    QTest::newRow("first byte only") << QByteArray("/readme") << QByteArray("bytes=0-0") << 206 << QByteArray("bytes 0-0/5") << QByteArray("p");
    QTest::newRow("start past the end") << QByteArray("/readme") << QByteArray("bytes=5-") << 416 << QByteArray("bytes */5") << QByteArray();
    QTest::newRow("several ranges answered whole") << QByteArray("/readme") << QByteArray("bytes=0-1,3-4") << 200 << QByteArray() << QByteArray("plain");
    QTest::newRow("reversed range answered whole") << QByteArray("/readme") << QByteArray("bytes=3-1") << 200 << QByteArray() << QByteArray("plain");
    QTest::newRow("other unit answered whole") << QByteArray("/readme") << QByteArray("lines=1-2") << 200 << QByteArray() << QByteArray("plain");
    QTest::newRow("package entry") << QByteArray("/pkg/app/main.js") << QByteArray("bytes=0-2") << 206 << QByteArray("bytes 0-2/6") << QByteArray("var");
}

void TestHttpServer::byteRanges()
{
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, range);
    QFETCH(int, status);
    QFETCH(QByteArray, contentRange);
    QFETCH(QByteArray, body);
    Client client(m_server->serverPort());
    const QList<Answer> answers
        = client.exchange("GET " + target + " HTTP/1.1\r\nRange: " + range + "\r\n\r\n", 1);
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers[0].status, status);
    QCOMPARE(answers[0].headers.value("content-range"), contentRange);
    QCOMPARE(answers[0].body, body);
}

void TestHttpServer::changedFileIsServedFresh()
{
    writeFile(m_root.filePath("fresh/in-place.txt"), "version one");
    writeFile(m_root.filePath("fresh/renamed.txt"), "version one");
    writeFile(m_root.filePath("fresh/removed.txt"), "version one");
    // Files are trusted by their times only once they have been left alone for a second.
    QTest::qWait(1100);
    Client client(m_server->serverPort());
    const QByteArray requests = "GET /fresh/in-place.txt HTTP/1.1\r\n\r\nGET /fresh/renamed.txt HTTP/1.1\r\n\r\n"
                                "GET /fresh/removed.txt HTTP/1.1\r\n\r\n";
    QList<Answer> answers = client.exchange(requests, 3);
    QCOMPARE(answers.size(), 3);
    for (const Answer &answer : answers)
        QCOMPARE(answer.body, QByteArray("version one"));

    // Same sizes throughout, so only the times and the inode tell.
    writeFile(m_root.filePath("fresh/in-place.txt"), "version two");
    writeFile(m_root.filePath("fresh/new.txt"), "version two");
    QVERIFY(QFile::remove(m_root.filePath("fresh/renamed.txt")));
    QVERIFY(QFile::rename(m_root.filePath("fresh/new.txt"), m_root.filePath("fresh/renamed.txt")));
    QVERIFY(QFile::remove(m_root.filePath("fresh/removed.txt")));
    answers = client.exchange(requests, 3);
    QCOMPARE(answers.size(), 3);
    QCOMPARE(answers[0].body, QByteArray("version two"));
    QCOMPARE(answers[1].body, QByteArray("version two"));
    QCOMPARE(answers[2].status, 404);
}

void TestHttpServer::incompleteHeadTimesOut()
{
    HttpServer server(m_root.path());
    server.setTimeouts(300, 200);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    Client trickle(server.serverPort());
    const QList<Answer> answers = trickle.exchange("GET /readme HTTP/1.1\r\nX-Slow: a", 1);
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers[0].status, 408);
    QVERIFY(trickle.closedByServer());

    Client idle(server.serverPort());
    QVERIFY(idle.closedByServer(3000));
}

void TestHttpServer::blackBoxProcess()
{
    const QString program = qEnvironmentVariable("KAVO_BENCH_DIR") + "/kavo-httpd";
    if (!QFileInfo::exists(program))
        QSKIP("kavo-httpd not built");
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    QProcess httpd;
    httpd.start(program, {"--root", m_root.path(), "--port", QString::number(port)});
    QVERIFY(httpd.waitForStarted());
    QList<Answer> answers;
    for (int attempt = 0; attempt < 50 && answers.isEmpty(); ++attempt) {
        QTest::qWait(50);
        Client client(port);
        if (client.socket.state() == QAbstractSocket::ConnectedState)
            answers = client.exchange("GET /index.html HTTP/1.1\r\nHost: localhost\r\n\r\n", 1);
    }
    httpd.terminate();
    httpd.waitForFinished();
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers[0].body, QByteArray("<p>hi</p>"));
}

QTEST_GUILESS_MAIN(TestHttpServer)
#include "tst_httpserver.moc"
