#include "httpserver/httpconnection.h"
#include "httpserver/httprequest.h"
#include "httpserver/httpresponse.h"
#include "httpserver/httpserver.h"

#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrlQuery>
#include <QtTest>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

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
    // Takes over a connected socket that nothing has read from so far.
    explicit Client(int descriptor) { socket.setSocketDescriptor(descriptor); }

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
        const bool bodiless = answer->status == 304 || answer->status == 204 || answer->status / 100 == 1;
        if (bodiless)
            bodyLength = 0;
        else if (!headOnly && answer->headers.contains("content-length"))
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

// Accepts connections and hands every parsed request to the test's handler, so requests and
// responses are seen exactly as a handler sees them.
class MessageServer : public QTcpServer
{
public:
    std::function<void(HttpRequest *, HttpResponse *)> handler;

    MessageServer()
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection()) {
                auto *connection = new HttpConnection(socket, this);
                QObject::connect(connection, &HttpConnection::newRequest, this,
                                 [this](HttpRequest *request, HttpResponse *response) { handler(request, response); });
            }
        });
        listen(QHostAddress::LocalHost, 0);
    }
};

// Everything the peer sends until it has been quiet for a while (or closed).
QByteArray readQuietly(QTcpSocket &socket, int quietMs = 300)
{
    QByteArray bytes;
    QElapsedTimer quiet;
    quiet.start();
    // The server runs in this thread: wait with the event loop turning.
    while (quiet.elapsed() < quietMs && socket.state() == QAbstractSocket::ConnectedState) {
        QTest::qWait(10);
        const QByteArray more = socket.readAll();
        if (!more.isEmpty()) {
            bytes += more;
            quiet.restart();
        }
    }
    return bytes + socket.readAll();
}

qint64 residentKb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Over what the server reads whole, and over what packages keep in memory.
const int LargeSize = 9 * 1024 * 1024 + 7;

// Bytes that compress well but show where each one stands.
QByteArray patternBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i * 31 + i / 4096);
    return bytes;
}

// A blocking loopback socket outside Qt's event loop: it reads nothing until told to, and
// its small receive buffer keeps the kernel from taking the server's answers off its hands.
int rawClient(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

bool sendAll(int fd, const QByteArray &bytes)
{
    return ::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

// kavo-httpd over root on a free port, answering once started; null when it cannot run.
std::unique_ptr<QProcess> startHttpd(const QString &root, quint16 *port)
{
    const QString program = qEnvironmentVariable("KAVO_BENCH_DIR") + "/kavo-httpd";
    if (!QFileInfo::exists(program))
        return nullptr;
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    *port = probe.serverPort();
    probe.close();
    auto httpd = std::make_unique<QProcess>();
    httpd->setStandardOutputFile(QProcess::nullDevice());
    httpd->setStandardErrorFile(QProcess::nullDevice());
    const QStringList arguments{"--root", root, "--port", QString::number(*port)};
    httpd->start(program, arguments);
    if (!httpd->waitForStarted())
        return nullptr;
    for (int attempt = 0; attempt < 100; ++attempt) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, *port);
        if (socket.waitForConnected(100))
            return httpd;
        QTest::qWait(50);
    }
    return nullptr;
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
    void largeFileIsStreamed_data();
    void largeFileIsStreamed();
    void byteRanges_data();
    void byteRanges();
    void changedFileIsServedFresh();
    void timeouts_data();
    void timeouts();
    void blackBoxProcess();
    void privateFilesAreNotServed_data();
    void privateFilesAreNotServed();
    void listensOnLoopbackByDefault();
    void holdsEveryAddressOfItsNames_data();
    void holdsEveryAddressOfItsNames();
    void pipeliningWithoutReadingStaysBounded();
    void slowClientsDoNotLockOutAFreshOne_data();
    void slowClientsDoNotLockOutAFreshOne();
    void acceptingGoesOnWhenDescriptorsComeBack();
    void requestFields_data();
    void requestFields();
    void responses_data();
    void responses();

private:
    QTemporaryDir m_root;
    QTemporaryDir m_outside;
    std::unique_ptr<HttpServer> m_server;
    QElapsedTimer m_sinceFixtures;
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

    // What the programs write beside what they ship.
    QByteArray database("SQLite format 3", 16);
    database += QByteArray(4080, '\x01');
    writeFile(m_root.filePath("data/update/Demo/5.0.0.1/update.rdl"), "<task/>");
    writeFile(m_root.filePath("data/update/Demo/5.0.0.1/log.elf"), "log");
    writeFile(m_root.filePath("data/Demo/log.elf"), "log");
    writeFile(m_root.filePath("data/user.conf"), "[Demo]\nWidth=1\n");
    writeFile(m_root.filePath("qt.conf"), "[System]\nApp=Demo\n");
    writeFile(m_root.filePath("data/notes.bin"), database);
    writeFile(m_root.filePath("data/big.db"), database + QByteArray(2 * 1024 * 1024, 'd'));
    writeFile(m_root.filePath("data/Demo/page.html"), "page");
    writeFile(m_root.filePath("data/notes.txt"), "SQLite format 2 is not a database");
    writeFile(m_root.filePath("data/updates.txt"), "news");
    writeFile(m_root.filePath("data/notes.bin-journal"), "pages of notes.bin");
    writeFile(m_root.filePath("data/notes.bin-WAL"), "pages of notes.bin");
    writeFile(m_root.filePath("data/notes.bin-shm"), "index of notes.bin-WAL");
    writeFile(m_root.filePath("data/my-journal.txt"), "diary");
    writeFile(m_root.filePath("elf.txt"), "elf");

    // Larger than what packages keep in memory: streamed from the archive, compressed or not.
    writeFile(m_root.filePath("mediasrc/big.bin"), patternBytes(LargeSize));
    const QList<QStringList> mediaPackages{{"-q", m_root.filePath("media.zip")}, {"-q", "-0", m_root.filePath("stored.zip")}};
    for (const QStringList &arguments : mediaPackages) {
        QProcess media;
        media.setWorkingDirectory(m_root.filePath("mediasrc"));
        media.start("zip", arguments + QStringList{"big.bin"});
        QVERIFY(media.waitForFinished() && media.exitCode() == 0);
    }
    writeFile(m_root.filePath("big.bin"), patternBytes(LargeSize));

    // What today's pages load.
    writeFile(m_root.filePath("app/main.mjs"), "export const a = 1;");
    writeFile(m_root.filePath("app/lib.wasm"), QByteArray("\0asm\1\0\0\0", 8));
    writeFile(m_root.filePath("app/logo.svg"), "<svg xmlns=\"http://www.w3.org/2000/svg\"/>");
    writeFile(m_root.filePath("app/font.woff2"), "wOF2");
    writeFile(m_root.filePath("app/site.css"), "p{}");

    // Links: inside the root to what is served, and to what is not.
    QVERIFY(QFile::copy(m_root.filePath("pkg.zip"), m_outside.filePath("away.zip")));
    QVERIFY(QFile::copy(m_root.filePath("pkg.zip"), m_root.filePath("data/update/Demo/5.0.0.1/pkg.zip")));
    const QList<QPair<QString, QString>> links{
        {"home", m_outside.path()},
        {"secret.txt", m_outside.filePath("secret.txt")},
        {"d", "data"},
        {"upd", "data/update"},
        {"settings.txt", "data/user.conf"},
        {"app.ini", "qt.conf"},
        {"journal.txt", "data/notes.bin-journal"},
        {"away.zip", m_outside.filePath("away.zip")},
        {"staged.zip", "data/update/Demo/5.0.0.1/pkg.zip"},
        {"same.zip", "pkg.zip"},
        {"readme.txt", "readme"},
        {"pages", "data/Demo"},
    };
    for (const auto &link : links) {
        const QByteArray name = QFile::encodeName(m_root.filePath(link.first));
        QVERIFY2(::symlink(QFile::encodeName(link.second).constData(), name.constData()) == 0, name.constData());
    }

    m_server = std::make_unique<HttpServer>(m_root.path());
    QVERIFY(m_server->listen(QHostAddress::LocalHost, 0));
    m_sinceFixtures.start();
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
    QTest::newRow("missing page") << QByteArray("GET /gone.html HTTP/1.1\r\n\r\n") << 404 << QByteArray("text/html") << notFound << QByteArray("keep-alive");
    QTest::newRow("http/1.0 closes") << QByteArray("GET /readme HTTP/1.0\r\n\r\n") << 200 << QByteArray("text/plain") << QByteArray("plain") << QByteArray("close");
    QTest::newRow("post returns the file") << QByteArray("POST /readme HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc") << 200 << QByteArray("text/plain") << QByteArray("plain") << QByteArray("keep-alive");
    QTest::newRow("empty file keeps alive") << QByteArray("GET /empty.txt HTTP/1.1\r\n\r\n") << 200 << QByteArray("text/plain") << QByteArray() << QByteArray("keep-alive");
    QTest::newRow("directory") << QByteArray("GET /x HTTP/1.1\r\n\r\n") << 404 << QByteArray("text/html") << notFound << QByteArray("keep-alive");
    QTest::newRow("dot-dot") << QByteArray("GET /../" + QFileInfo(m_outside.path()).fileName().toUtf8() + "/secret.txt HTTP/1.1\r\n\r\n") << 404 << QByteArray("text/html") << notFound << QByteArray("keep-alive");
    QTest::newRow("encoded dot-dot") << QByteArray("GET /%2e%2e/%2E%2E/etc/passwd HTTP/1.1\r\n\r\n") << 404 << QByteArray("text/html") << notFound << QByteArray("keep-alive");
    QTest::newRow("absolute path") << QByteArray("GET //etc/passwd HTTP/1.1\r\n\r\n") << 404 << QByteArray("text/html") << notFound << QByteArray("keep-alive");
    QTest::newRow("encoded absolute") << QByteArray("GET /%2Fetc/passwd HTTP/1.1\r\n\r\n") << 404 << QByteArray("text/html") << notFound << QByteArray("keep-alive");
    QTest::newRow("package entry") << QByteArray("GET /pkg/app/main.js HTTP/1.1\r\n\r\n") << 200 << QByteArray("application/x-javascript; charset=utf-8") << QByteArray("var a;") << QByteArray("keep-alive");
    QTest::newRow("package with a doubled slash") << QByteArray("GET /pkg//app/main.js HTTP/1.1\r\n\r\n") << 200 << QByteArray("application/x-javascript; charset=utf-8") << QByteArray("var a;") << QByteArray("keep-alive");
    QTest::newRow("package with .zip") << QByteArray("GET /pkg.zip/app/main.js HTTP/1.1\r\n\r\n") << 200 << QByteArray("application/x-javascript; charset=utf-8") << QByteArray("var a;") << QByteArray("keep-alive");
    QTest::newRow("package letter case") << QByteArray("GET /pkg/APP/Main.JS HTTP/1.1\r\n\r\n") << 200 << QByteArray() << QByteArray("var a;") << QByteArray("keep-alive");
    QTest::newRow("package directory entry") << QByteArray("GET /pkg/app HTTP/1.1\r\n\r\n") << 404 << QByteArray("text/html") << notFound << QByteArray("keep-alive");
    QTest::newRow("damaged package") << QByteArray("GET /damaged/a.txt HTTP/1.1\r\n\r\n") << 404 << QByteArray("text/html") << notFound << QByteArray("keep-alive");
    QTest::newRow("foreign host") << QByteArray("GET /readme HTTP/1.1\r\nHost: evil.example:58899\r\n\r\n") << 403 << QByteArray() << forbidden << QByteArray("keep-alive");
    QTest::newRow("address host") << QByteArray("GET /readme HTTP/1.1\r\nHost: 127.0.0.1:58899\r\n\r\n") << 200 << QByteArray("text/plain") << QByteArray("plain") << QByteArray("keep-alive");
    QTest::newRow("ipv6 host") << QByteArray("GET /readme HTTP/1.1\r\nHost: [::1]:58899\r\n\r\n") << 200 << QByteArray("text/plain") << QByteArray("plain") << QByteArray("keep-alive");
    QTest::newRow("empty header value") << QByteArray("GET /readme HTTP/1.1\r\nX-A:\r\nHost: evil.example\r\n\r\n") << 403 << QByteArray() << forbidden << QByteArray("keep-alive");
    QTest::newRow("module script") << QByteArray("GET /app/main.mjs HTTP/1.1\r\n\r\n") << 200 << QByteArray("text/javascript; charset=utf-8") << QByteArray("export const a = 1;") << QByteArray("keep-alive");
    QTest::newRow("WebAssembly") << QByteArray("GET /app/lib.wasm HTTP/1.1\r\n\r\n") << 200 << QByteArray("application/wasm") << QByteArray("\0asm\1\0\0\0", 8) << QByteArray("keep-alive");
    QTest::newRow("SVG image") << QByteArray("GET /app/logo.svg HTTP/1.1\r\n\r\n") << 200 << QByteArray("image/svg+xml") << QByteArray("<svg xmlns=\"http://www.w3.org/2000/svg\"/>") << QByteArray("keep-alive");
    QTest::newRow("web font") << QByteArray("GET /app/font.woff2 HTTP/1.1\r\n\r\n") << 200 << QByteArray("font/woff2") << QByteArray("wOF2") << QByteArray("keep-alive");
    QTest::newRow("style sheet") << QByteArray("GET /app/site.css HTTP/1.1\r\n\r\n") << 200 << QByteArray("text/css; charset=utf-8") << QByteArray("p{}") << QByteArray("keep-alive");
    QTest::newRow("link to a file inside the root") << QByteArray("GET /readme.txt HTTP/1.1\r\n\r\n") << 200 << QByteArray("text/plain") << QByteArray("plain") << QByteArray("keep-alive");
    QTest::newRow("page through a linked folder") << QByteArray("GET /pages/page.html HTTP/1.1\r\n\r\n") << 200 << QByteArray("text/html; charset=utf-8") << QByteArray("page") << QByteArray("keep-alive");
    QTest::newRow("package linked inside the root") << QByteArray("GET /same/app/main.js HTTP/1.1\r\n\r\n") << 200 << QByteArray("application/x-javascript; charset=utf-8") << QByteArray("var a;") << QByteArray("keep-alive");
    QTest::newRow("client asks to close") << QByteArray("GET /readme HTTP/1.1\r\nConnection: close\r\n\r\n") << 200 << QByteArray("text/plain") << QByteArray("plain") << QByteArray("close");
}

void TestHttpServer::answers()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, connection);

    // A page that is not there is named in the log with the file looked for.
    if (status == 404 && request.startsWith("GET /gone.html "))
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^NOT Found: /gone\\.html: no file /.+/gone\\.html, ")));
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
    QTest::addColumn<int>("status");
    QTest::newRow("garbage") << QByteArray("\x01\x02 nonsense\r\n\r\n") << 400;
    QTest::newRow("bad version") << QByteArray("GET / HTTP/x.y\r\n\r\n") << 400;
    QTest::newRow("head over 64 KiB") << QByteArray("GET /readme HTTP/1.1\r\nX-Big: " + QByteArray(70 * 1024, 'a') + "\r\n\r\n") << 400;
    QTest::newRow("empty Host") << QByteArray("GET /readme HTTP/1.1\r\nHost:\r\n\r\n") << 400;
    QTest::newRow("blank Host") << QByteArray("GET /readme HTTP/1.1\r\nHost:   \r\n\r\n") << 400;
    QTest::newRow("protocol upgrade") << QByteArray("GET /readme HTTP/1.1\r\nHost: localhost\r\nConnection: Upgrade\r\n"
                                                   "Upgrade: websocket\r\n\r\nbytes of another protocol") << 501;
    QTest::newRow("tunnel") << QByteArray("CONNECT 127.0.0.1:22 HTTP/1.1\r\nHost: 127.0.0.1:22\r\n\r\n") << 501;
}

void TestHttpServer::malformedAndOversizeHeads()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    Client client(m_server->serverPort());
    const QList<Answer> answers = client.exchange(request, 1);
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers[0].status, status);
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
    // A 304 ends with its head: the connection goes on.
    QCOMPARE(answers[0].headers.value("connection"), QByteArray("keep-alive"));
    QVERIFY(!client.closedByServer(100));
    answers = client.exchange("GET /readme HTTP/1.1\r\n\r\n", 1);
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers[0].body, QByteArray("plain"));

    // "NOT Found!" is no versioned resource: nothing may keep it.
    answers = client.exchange("GET /nope.js?v=3 HTTP/1.1\r\n\r\n", 1);
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers[0].status, 404);
    QVERIFY(!answers[0].headers.contains("cache-control"));
    QVERIFY(!answers[0].headers.contains("expires"));
    QVERIFY(!answers[0].headers.contains("last-modified"));

    answers = Client(m_server->serverPort()).exchange("GET /readme HTTP/1.1\r\nIf-Modified-Since: x\r\n\r\n", 1);
    QCOMPARE(answers[0].status, 200);
    QVERIFY(!answers[0].headers.contains("cache-control"));
}

void TestHttpServer::largeFileIsStreamed_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::newRow("file") << QByteArray("/big.bin");
    QTest::newRow("compressed package entry") << QByteArray("/media/big.bin");
    QTest::newRow("stored package entry") << QByteArray("/stored/big.bin");
}

void TestHttpServer::largeFileIsStreamed()
{
    QFETCH(QByteArray, target);
    const QByteArray big = patternBytes(LargeSize);
    Client client(m_server->serverPort());
    QList<Answer> answers = client.exchange("HEAD " + target + " HTTP/1.1\r\n\r\n", 1, true);
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers[0].headers.value("content-length"), QByteArray::number(big.size()));
    answers = client.exchange("GET " + target + " HTTP/1.1\r\n\r\nGET /readme HTTP/1.1\r\n\r\n", 2);
    QCOMPARE(answers.size(), 2);
    QCOMPARE(answers[0].status, 200);
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
    const QByteArray big = patternBytes(LargeSize);
    QTest::newRow("large stored package entry") << QByteArray("/stored/big.bin") << QByteArray("bytes=5000000-5000009") << 206
                                                << QByteArray("bytes 5000000-5000009/" + QByteArray::number(LargeSize)) << big.mid(5000000, 10);
    QTest::newRow("large compressed package entry answered whole") << QByteArray("/media/big.bin") << QByteArray("bytes=5000000-5000009")
                                                                   << 200 << QByteArray() << big;
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

void TestHttpServer::timeouts_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("answers");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("bodySize");
    QTest::addColumn<bool>("closed");
    QTest::newRow("incomplete head") << QByteArray("GET /readme HTTP/1.1\r\nX-Slow: a") << 1 << 408 << 16 << true;
    QTest::newRow("nothing sent") << QByteArray() << 0 << 0 << 0 << true;
    QTest::newRow("streamed answer waiting for its reader") << QByteArray("GET /big.bin HTTP/1.1\r\n\r\n") << 1 << 200 << LargeSize << false;
    QTest::newRow("answers waiting for their reader") << QByteArray("GET /half.bin HTTP/1.1\r\n\r\n").repeated(12) << 12 << 200 << 512 * 1024 << false;
}

// Idle 300 ms, incomplete head 200 ms; the peer reads nothing for five idle times.
void TestHttpServer::timeouts()
{
    QFETCH(QByteArray, request);
    QFETCH(int, answers);
    QFETCH(int, status);
    QFETCH(int, bodySize);
    QFETCH(bool, closed);
    writeFile(m_root.filePath("half.bin"), patternBytes(512 * 1024));
    HttpServer server(m_root.path());
    server.setTimeouts(300, 200);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    const int fd = rawClient(server.serverPort());
    QVERIFY(fd >= 0);
    QVERIFY(sendAll(fd, request));
    QTest::qWait(1500);
    Client client(fd);
    const QList<Answer> got = client.exchange(QByteArray(), answers);
    QCOMPARE(got.size(), answers);
    for (const Answer &answer : got) {
        QCOMPARE(answer.status, status);
        QCOMPARE(answer.body.size(), bodySize);
    }
    // An answer left waiting is not cut: it arrives whole. Once read, the connection is idle and
    // may rightly be closed 300 ms later, which a loaded machine can take to read the rest.
    if (closed)
        QVERIFY(client.closedByServer(3000));
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

void TestHttpServer::privateFilesAreNotServed_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("range");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    const QByteArray notFound = "NOT Found!";
    QTest::newRow("task log in the update area") << QByteArray("/data/update/Demo/5.0.0.1/update.rdl") << QByteArray() << 404 << notFound;
    QTest::newRow("update area by a doubled slash") << QByteArray("/data//update/Demo/5.0.0.1/update.rdl") << QByteArray() << 404 << notFound;
    QTest::newRow("update area through a dot") << QByteArray("/./data/./update/Demo/5.0.0.1/update.rdl") << QByteArray() << 404 << notFound;
    QTest::newRow("update area itself") << QByteArray("/data/update") << QByteArray() << 404 << notFound;
    QTest::newRow("log in the update area") << QByteArray("/data/update/Demo/5.0.0.1/log.elf") << QByteArray() << 404 << notFound;
    QTest::newRow("log elsewhere") << QByteArray("/data/Demo/log.elf") << QByteArray() << 404 << notFound;
    QTest::newRow("log, versioned") << QByteArray("/data/Demo/log.elf?v=2") << QByteArray() << 404 << notFound;
    QTest::newRow("user settings") << QByteArray("/data/user.conf") << QByteArray() << 404 << notFound;
    QTest::newRow("qt.conf") << QByteArray("/qt.conf") << QByteArray() << 404 << notFound;
    QTest::newRow("qt.conf encoded") << QByteArray("/qt%2Econf") << QByteArray() << 404 << notFound;
    QTest::newRow("database by its contents") << QByteArray("/data/notes.bin") << QByteArray() << 404 << notFound;
    QTest::newRow("database, a range of it") << QByteArray("/data/notes.bin") << QByteArray("bytes=0-15") << 404 << notFound;
    QTest::newRow("large database") << QByteArray("/data/big.db") << QByteArray() << 404 << notFound;
    QTest::newRow("qt.conf, encoded question mark") << QByteArray("/qt.conf%3F") << QByteArray() << 404 << notFound;
    QTest::newRow("log, encoded question mark") << QByteArray("/data/Demo/log.elf%3Fv=1") << QByteArray() << 404 << notFound;
    QTest::newRow("database's rollback journal") << QByteArray("/data/notes.bin-journal") << QByteArray() << 404 << notFound;
    QTest::newRow("database's write-ahead log") << QByteArray("/data/notes.bin-WAL") << QByteArray() << 404 << notFound;
    QTest::newRow("database's shared memory") << QByteArray("/data/notes.bin-shm%3F") << QByteArray() << 404 << notFound;
    QTest::newRow("link to a folder outside the root") << QByteArray("/home/secret.txt") << QByteArray() << 404 << notFound;
    QTest::newRow("link to a file outside the root") << QByteArray("/secret.txt") << QByteArray() << 404 << notFound;
    QTest::newRow("user settings through a linked folder") << QByteArray("/d/user.conf") << QByteArray() << 404 << notFound;
    QTest::newRow("update area through a linked folder") << QByteArray("/d/update/Demo/5.0.0.1/update.rdl") << QByteArray() << 404 << notFound;
    QTest::newRow("update area through a link to it") << QByteArray("/upd/Demo/5.0.0.1/update.rdl") << QByteArray() << 404 << notFound;
    QTest::newRow("link to the user settings") << QByteArray("/settings.txt") << QByteArray() << 404 << notFound;
    QTest::newRow("link to qt.conf") << QByteArray("/app.ini") << QByteArray() << 404 << notFound;
    QTest::newRow("link to a database's journal") << QByteArray("/journal.txt") << QByteArray() << 404 << notFound;
    QTest::newRow("package linked from outside the root") << QByteArray("/away/app/main.js") << QByteArray() << 404 << notFound;
    QTest::newRow("package linked from the update area") << QByteArray("/staged/app/main.js") << QByteArray() << 404 << notFound;
    QTest::newRow("served: page through a linked folder") << QByteArray("/d/Demo/page.html") << QByteArray() << 200 << QByteArray("page");
    QTest::newRow("served: journal in a name") << QByteArray("/data/my-journal.txt") << QByteArray() << 200 << QByteArray("diary");
    QTest::newRow("served: page beside a log") << QByteArray("/data/Demo/page.html") << QByteArray() << 200 << QByteArray("page");
    QTest::newRow("served: not quite a database") << QByteArray("/data/notes.txt") << QByteArray() << 200 << QByteArray("SQLite format 2 is not a database");
    QTest::newRow("served: name like the update area") << QByteArray("/data/updates.txt") << QByteArray() << 200 << QByteArray("news");
    QTest::newRow("served: elf in the name only") << QByteArray("/elf.txt") << QByteArray() << 200 << QByteArray("elf");
}

void TestHttpServer::privateFilesAreNotServed()
{
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, range);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    // Twice: an answer from the server's memory must follow the same rule. Files left alone
    // for a second may be kept in memory.
    if (m_sinceFixtures.elapsed() < 1100)
        QTest::qWait(int(1100 - m_sinceFixtures.elapsed()));
    for (int round = 0; round < 2; ++round) {
        Client client(m_server->serverPort());
        const QByteArray rangeLine = range.isEmpty() ? QByteArray() : "Range: " + range + "\r\n";
        const QList<Answer> answers = client.exchange("GET " + target + " HTTP/1.1\r\n" + rangeLine + "\r\n", 1);
        QCOMPARE(answers.size(), 1);
        QCOMPARE(answers[0].status, status);
        QCOMPARE(answers[0].body, body);
    }
}

void TestHttpServer::listensOnLoopbackByDefault()
{
    HttpServer server(m_root.path());
    QVERIFY(server.listen(0));
    QCOMPARE(server.serverAddress(), QHostAddress(QHostAddress::LocalHost));
    // Another address of this machine is not served...
    QTcpSocket other;
    other.connectToHost(QHostAddress(QStringLiteral("127.0.0.2")), server.serverPort());
    QVERIFY(!other.waitForConnected(2000));
    // ...unless every interface was asked for.
    HttpServer everywhere(m_root.path());
    QVERIFY(everywhere.listen(QHostAddress::AnyIPv4, 0));
    Client client(everywhere.serverPort());
    QTcpSocket viaOther;
    viaOther.connectToHost(QHostAddress(QStringLiteral("127.0.0.2")), everywhere.serverPort());
    QVERIFY(viaOther.waitForConnected(2000));
}

// On loopback the server takes the port on every address its names lead to, or fails when
// another program holds one: that program would answer for the same origins.
void TestHttpServer::holdsEveryAddressOfItsNames_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QString>("taken"); // held by another server on the port beforehand
    QTest::addColumn<QStringList>("origins"); // "%1" stands for the port; none when listen fails
    const QString v4 = QStringLiteral("http://127.0.0.1:%1");
    const QString v6 = QStringLiteral("http://[::1]:%1");
    const QString name = QStringLiteral("http://localhost:%1");
    const QStringList localhost{QStringLiteral("localhost")};
    QTest::newRow("loopback, localhost") << "127.0.0.1" << localhost << QString() << QStringList{v4, v6, name};
    QTest::newRow("every IPv4 address, localhost") << "0.0.0.0" << localhost << QString() << QStringList{v4, v6, name};
    QTest::newRow("IPv6 loopback, localhost") << "::1" << localhost << QString() << QStringList{v4, v6, name};
    QTest::newRow("no names") << "127.0.0.1" << QStringList() << QString() << QStringList{v4};
    QTest::newRow("an address as the name") << "127.0.0.1" << QStringList{QStringLiteral("127.0.0.1")} << QString()
                                            << QStringList{v4};
    QTest::newRow("[::1] taken by an impostor") << "127.0.0.1" << localhost << "::1" << QStringList();
    QTest::newRow("127.0.0.1 taken by an impostor") << "::1" << localhost << "127.0.0.1" << QStringList();
}

void TestHttpServer::holdsEveryAddressOfItsNames()
{
    QFETCH(QString, address);
    QFETCH(QStringList, names);
    QFETCH(QString, taken);
    QFETCH(QStringList, origins);
    QTcpServer probe;
    const bool hasV6 = probe.listen(QHostAddress::LocalHostIPv6, 0);
    probe.close();
    if (!hasV6 && (QHostAddress(address).protocol() == QAbstractSocket::IPv6Protocol || taken == QLatin1String("::1")))
        QSKIP("this machine has no ::1");
    QTcpServer impostor;
    if (!taken.isEmpty())
        QVERIFY(impostor.listen(QHostAddress(taken), 0));
    HttpServer server(m_root.path());
    const bool listening = server.listen(QHostAddress(address), impostor.serverPort(), names);
    QCOMPARE(listening, !origins.isEmpty());
    if (!listening) {
        QCOMPARE(server.serverError(), QAbstractSocket::AddressInUseError);
        // Nothing is kept of a failed start: the addresses taken before the failure are free.
        QTcpServer again;
        QVERIFY(again.listen(QHostAddress(address), impostor.serverPort()));
        return;
    }
    QStringList expected;
    for (const QString &origin : std::as_const(origins)) {
        if (hasV6 || !origin.contains(QLatin1Char('[')))
            expected << origin.arg(server.serverPort());
    }
    QStringList held = server.heldOrigins();
    held.sort();
    expected.sort();
    QCOMPARE(held, expected);
    // Each address of the names is answered, and no one else can take it.
    for (const QString &origin : std::as_const(expected)) {
        const QUrl url(origin);
        const QHostAddress host = url.host() == QLatin1String("localhost") ? QHostAddress(QHostAddress::LocalHost)
                                                                           : QHostAddress(url.host());
        QTcpSocket socket;
        socket.connectToHost(host, server.serverPort());
        QVERIFY2(socket.waitForConnected(2000), qPrintable(origin));
        QTcpServer other;
        QVERIFY2(!other.listen(host, server.serverPort()), qPrintable(origin));
    }
}

void TestHttpServer::pipeliningWithoutReadingStaysBounded()
{
    // Small enough to be answered from memory at once: nothing but the bound holds the answers back.
    QByteArray file(64 * 1024, '\0');
    for (int i = 0; i < file.size(); ++i)
        file[i] = char(i * 7);
    writeFile(m_root.filePath("pipe.bin"), file);
    quint16 port = 0;
    std::unique_ptr<QProcess> httpd = startHttpd(m_root.path(), &port);
    if (!httpd)
        QSKIP("kavo-httpd not built");
    QTest::qWait(200);
    const qint64 before = residentKb(httpd->processId());
    QVERIFY(before > 0);

    QTcpSocket flood;
    flood.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(flood.waitForConnected(3000));
    flood.setReadBufferSize(1);
    QByteArray requests;
    for (int i = 0; i < 5000; ++i)
        requests += "GET /pipe.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    flood.write(requests);
    qint64 peak = before;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 4000) {
        QTest::qWait(50);
        peak = qMax(peak, residentKb(httpd->processId()));
    }
    // A fresh client is answered meanwhile.
    Client fresh(port);
    const QList<Answer> answers = fresh.exchange("GET /readme HTTP/1.1\r\n\r\n", 1);
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers[0].body, QByteArray("plain"));
    flood.abort();
    httpd->kill();
    httpd->waitForFinished();
    // 5000 answers of 64 KiB would be over 300 MiB if nothing held them back.
    QVERIFY2(peak - before < 64 * 1024, qPrintable(QStringLiteral("grew by %1 KiB").arg(peak - before)));
}

void TestHttpServer::slowClientsDoNotLockOutAFreshOne_data()
{
    QTest::addColumn<int>("descriptors"); // the server's limit
    QTest::addColumn<int>("clients");
    QTest::addColumn<QByteArray>("request"); // what each slow client sends, and then it reads nothing
    QTest::newRow("slow senders of heads") << 200 << 300 << QByteArray("GET /readme HTTP/1.1\r\nX-Slow: ");
    QTest::newRow("slow readers of a large file") << 200 << 1100 << QByteArray("GET /big.bin HTTP/1.1\r\n\r\n");
    // Fewer than the server's least count: what is really left decides.
    QTest::newRow("slow readers, 20 descriptors") << 20 << 60 << QByteArray("GET /big.bin HTTP/1.1\r\n\r\n");
}

void TestHttpServer::slowClientsDoNotLockOutAFreshOne()
{
    QFETCH(int, descriptors);
    QFETCH(int, clients);
    QFETCH(QByteArray, request);
    // The sanitizers' runtime in the server needs descriptors of its own; with only 20 in all what
    // is left for connections is not the server's to decide.
    if (descriptors < 50 && qEnvironmentVariableIsSet("ASAN_OPTIONS"))
        QSKIP("too few descriptors for a server under AddressSanitizer");
    rlimit own;
    QVERIFY(::getrlimit(RLIMIT_NOFILE, &own) == 0);
    if (own.rlim_cur < rlim_t(clients + 100)) {
        own.rlim_cur = qMin<rlim_t>(own.rlim_max, rlim_t(clients + 100));
        if (::setrlimit(RLIMIT_NOFILE, &own) != 0 || own.rlim_cur < rlim_t(clients + 100))
            QSKIP("this process may not open enough descriptors for its clients");
    }
    quint16 port = 0;
    std::unique_ptr<QProcess> httpd = startHttpd(m_root.path(), &port);
    if (!httpd)
        QSKIP("kavo-httpd not built");
    const rlimit low = {rlim_t(descriptors), rlim_t(descriptors)};
    QVERIFY(::prlimit(pid_t(httpd->processId()), RLIMIT_NOFILE, &low, nullptr) == 0);

    std::vector<int> slow;
    for (int i = 0; i < clients; ++i) {
        const int fd = rawClient(port);
        QVERIFY(fd >= 0);
        slow.push_back(fd);
        sendAll(fd, request); // a client closed at once may refuse it
        // The server's queue of connections not yet accepted holds 50; a client that gets
        // further ahead waits a second for the kernel's retry.
        if (i % 40 == 39)
            QTest::qWait(50);
    }
    // Long enough for every one of them to count as stalled.
    QTest::qWait(2500);
    Client fresh(port);
    const QList<Answer> answers = fresh.exchange("GET /readme HTTP/1.1\r\n\r\n", 1);
    for (const int fd : slow)
        ::close(fd);
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers[0].body, QByteArray("plain"));
    QCOMPARE(httpd->state(), QProcess::Running);
    httpd->kill();
    httpd->waitForFinished();
}

void TestHttpServer::acceptingGoesOnWhenDescriptorsComeBack()
{
    HttpServer server(m_root.path());
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    // The rest of the program takes every descriptor but the client's.
    rlimit saved;
    QVERIFY(::getrlimit(RLIMIT_NOFILE, &saved) == 0);
    rlimit low = saved;
    low.rlim_cur = qMin<rlim_t>(saved.rlim_cur, 1024);
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &low) == 0);
    std::vector<int> taken;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        taken.push_back(fd);
    const bool exhausted = errno == EMFILE;
    ::close(taken.back());
    taken.pop_back();
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    const bool connected = client.waitForConnected(3000);
    client.write("GET /readme HTTP/1.1\r\n\r\n");
    QTest::qWait(300); // accepting fails meanwhile
    for (const int fd : taken)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    QVERIFY(exhausted);
    QVERIFY(connected);
    QTRY_VERIFY_WITH_TIMEOUT(client.bytesAvailable() > 0, 3000);
    QVERIFY(client.readAll().startsWith("HTTP/1.1 200 OK\r\n"));
}

void TestHttpServer::requestFields_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("splitAt"); // the request goes out in two writes, split here
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("queryX");
    QTest::addColumn<QString>("authority");
    QTest::addColumn<QString>("headerName");
    QTest::addColumn<QString>("headerValue");
    QTest::newRow("target, query and Host") << QByteArray("GET /a/b.txt?x=1 HTTP/1.1\r\nHost: 127.0.0.1:58899\r\n\r\n") << -1
                                            << "GET" << "1.1" << "/a/b.txt" << "1" << "127.0.0.1:58899" << "host" << "127.0.0.1:58899";
    QTest::newRow("no Host") << QByteArray("GET /a HTTP/1.1\r\n\r\n") << -1 << "GET" << "1.1" << "/a" << "" << "localhost" << "host" << "";
    QTest::newRow("last value wins") << QByteArray("POST /p HTTP/1.0\r\nX-Twice: one\r\nx-TWICE: two\r\nContent-Length: 0\r\n\r\n") << -1
                                     << "POST" << "1.0" << "/p" << "" << "localhost" << "x-twice" << "two";
    QTest::newRow("names in lower case") << QByteArray("GET / HTTP/1.1\r\nX-Name: Value\r\n\r\n") << -1
                                         << "GET" << "1.1" << "/" << "" << "localhost" << "x-name" << "Value";
    QTest::newRow("mixed-case lookup finds nothing") << QByteArray("GET / HTTP/1.1\r\nX-Name: Value\r\n\r\n") << -1
                                                     << "GET" << "1.1" << "/" << "" << "localhost" << "X-Name" << "";
    const QByteArray chinese = QString::fromUtf8("GET / HTTP/1.1\r\nX-Name: 中文\r\n\r\n").toUtf8();
    QTest::newRow("value split inside a character") << chinese << chinese.indexOf("\xe4\xb8\xad") + 1
                                                    << "GET" << "1.1" << "/" << "" << "localhost" << "x-name" << QString::fromUtf8("中文");
    QTest::newRow("name split in two") << QByteArray("GET / HTTP/1.1\r\nX-Na: 1\r\nX-Name: v\r\n\r\n") << 28
                                       << "GET" << "1.1" << "/" << "" << "localhost" << "x-name" << "v";
}

void TestHttpServer::requestFields()
{
    QFETCH(QByteArray, request);
    QFETCH(int, splitAt);
    QFETCH(QString, method);
    QFETCH(QString, version);
    QFETCH(QString, path);
    QFETCH(QString, queryX);
    QFETCH(QString, authority);
    QFETCH(QString, headerName);
    QFETCH(QString, headerValue);
    MessageServer server;
    QStringList seen;
    server.handler = [&](HttpRequest *r, HttpResponse *response) {
        seen = QStringList{r->method(), r->httpVersion(), r->path(), QUrlQuery(r->url()).queryItemValue("x"),
                           r->url().authority(), r->header(headerName)};
        response->setStatus(200);
        response->end(QByteArray("ok"));
    };
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QVERIFY(socket.waitForConnected(3000));
    if (splitAt < 0) {
        socket.write(request);
    } else {
        socket.write(request.left(splitAt));
        socket.flush();
        QTest::qWait(100);
        socket.write(request.mid(splitAt));
    }
    QTRY_VERIFY(!seen.isEmpty());
    QCOMPARE(seen, (QStringList{method, version, path, queryX, authority, headerValue}));
}

void TestHttpServer::responses_data()
{
    QTest::addColumn<QByteArray>("version");
    QTest::addColumn<QString>("action");
    QTest::addColumn<QByteArray>("statusLine");
    QTest::addColumn<QList<QByteArray>>("lines");   // header lines present exactly once
    QTest::addColumn<QList<QByteArray>>("absent");  // header names not sent
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("closes");
    using L = QList<QByteArray>;
    QTest::newRow("body with length") << QByteArray("1.1") << "abc" << QByteArray("HTTP/1.1 200 OK")
                                      << L{"Content-Length: 3", "Connection: keep-alive"} << L{"transfer-encoding"} << QByteArray("abc") << false;
    QTest::newRow("bare end") << QByteArray("1.1") << "bare" << QByteArray("HTTP/1.1 500 Internal Server Error")
                              << L{"Connection: close"} << L{"content-length"} << QByteArray() << true;
    QTest::newRow("HTTP/1.0 closes") << QByteArray("1.0") << "abc" << QByteArray("HTTP/1.1 200 OK")
                                     << L{"Content-Length: 3", "Connection: close"} << L{} << QByteArray("abc") << true;
    QTest::newRow("caller's Connection") << QByteArray("1.0") << "keepalive" << QByteArray("HTTP/1.1 200 OK")
                                         << L{"Connection: keep-alive"} << L{} << QByteArray("abc") << false;
    QTest::newRow("caller's Date") << QByteArray("1.1") << "date" << QByteArray("HTTP/1.1 200 OK")
                                   << L{"Date: Thu, 01 Jan 1970 00:00:00 GMT"} << L{} << QByteArray("abc") << false;
    QTest::newRow("chunked by the caller") << QByteArray("1.1") << "chunked" << QByteArray("HTTP/1.1 200 OK")
                                           << L{"Transfer-Encoding: chunked", "Connection: keep-alive"} << L{"content-length"}
                                           << QByteArray("3\r\nabc\r\n0\r\n\r\n") << false;
    QTest::newRow("write before the head") << QByteArray("1.1") << "early" << QByteArray("HTTP/1.1 200 OK")
                                           << L{"Content-Length: 4"} << L{} << QByteArray("late") << false;
    QTest::newRow("status without a reason") << QByteArray("1.1") << "299" << QByteArray("HTTP/1.1 299 ")
                                             << L{"Content-Length: 1"} << L{} << QByteArray("x") << false;
    QTest::newRow("content type by suffix") << QByteArray("1.1") << "png" << QByteArray("HTTP/1.1 200 OK")
                                            << L{"Content-Type: image/png"} << L{} << QByteArray("false true") << false;
    QTest::newRow("304 keeps the connection") << QByteArray("1.1") << "304" << QByteArray("HTTP/1.1 304 Not Modified")
                                              << L{"Connection: keep-alive"} << L{"content-length"} << QByteArray() << false;
}

void TestHttpServer::responses()
{
    QFETCH(QByteArray, version);
    QFETCH(QString, action);
    QFETCH(QByteArray, statusLine);
    QFETCH(QList<QByteArray>, lines);
    QFETCH(QList<QByteArray>, absent);
    QFETCH(QByteArray, body);
    QFETCH(bool, closes);
    MessageServer server;
    server.handler = [action](HttpRequest *, HttpResponse *r) {
        if (action == "abc" || action == "keepalive" || action == "date") {
            if (action == "keepalive")
                r->setHeader("Connection", "keep-alive");
            if (action == "date")
                r->setHeader("Date", "Thu, 01 Jan 1970 00:00:00 GMT");
            r->setStatus(200);
            r->end(QByteArray("abc"));
        } else if (action == "bare") {
            r->end();
        } else if (action == "chunked") {
            r->setStatus(200);
            r->setHeader("Transfer-Encoding", "chunked");
            r->writeHead();
            r->write(QByteArray("3\r\nabc\r\n0\r\n\r\n"));
            r->end();
        } else if (action == "early") {
            r->write(QByteArray("early"));
            r->setStatus(200);
            r->end(QByteArray("late"));
        } else if (action == "299") {
            r->setStatus(299);
            r->end(QByteArray("x"));
        } else if (action == "png") {
            const bool upper = r->setHeaderContentType(".PNG");
            const bool lower = r->setHeaderContentType(".png");
            r->setStatus(200);
            r->end(QByteArray(upper ? "true" : "false") + (lower ? " true" : " false"));
        } else if (action == "304") {
            r->setStatus(304);
            r->end();
        }
    };
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QVERIFY(socket.waitForConnected(3000));
    socket.write("GET /x HTTP/" + version + "\r\n\r\n");
    const QByteArray answer = readQuietly(socket);
    const int headEnd = answer.indexOf("\r\n\r\n");
    QVERIFY2(headEnd > 0, answer.constData());
    const QList<QByteArray> head = answer.left(headEnd).split('\n');
    QCOMPARE(head.value(0).chopped(1), statusLine);
    QList<QByteArray> headerLines;
    for (int i = 1; i < head.size(); ++i)
        headerLines << head[i].trimmed();
    for (const QByteArray &line : lines)
        QVERIFY2(headerLines.count(line) == 1, line.constData());
    for (const QByteArray &name : absent) {
        for (const QByteArray &line : headerLines)
            QVERIFY2(!line.toLower().startsWith(name + ':'), line.constData());
    }
    int dates = 0;
    for (const QByteArray &line : headerLines)
        dates += line.toLower().startsWith("date:") ? 1 : 0;
    QCOMPARE(dates, 1);
    QCOMPARE(answer.mid(headEnd + 4), body);
    QTest::qWait(100);
    QCOMPARE(socket.state() != QAbstractSocket::ConnectedState, closes);
}

QTEST_GUILESS_MAIN(TestHttpServer)
#include "tst_httpserver.moc"
