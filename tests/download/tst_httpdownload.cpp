#include "download/downloadtasklog.h"
#include "download/httpdownloadmanager.h"
#include "download/httpdownloadtask.h"
#include "download/httpdownloadworker.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>


// An nginx on a loopback port serving a temporary directory; it honours Range.
class Nginx
{
public:
    bool start(const QString &root)
    {
        // The free port found here can be taken by anyone before nginx binds it (other tests
        // run alongside): then nginx exits, and a connection alone may reach the other owner.
        // So another port is tried until the server that answers is this nginx.
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (startOn(root))
                return true;
            m_process.kill();
            m_process.waitForFinished(3000);
        }
        return false;
    }
    bool startOn(const QString &root)
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        m_port = probe.serverPort();
        probe.close();
        const QString conf = m_dir.filePath(QStringLiteral("nginx.conf"));
        QFile f(conf);
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(QStringLiteral("daemon off; pid %1/nginx.pid; error_log %1/error.log;\n"
                               "events {}\nhttp { access_log %1/access.log; client_body_temp_path %1;\n"
                               "server { listen 127.0.0.1:%2; root %3;\n"
                               "  location = /kavo-probe { return 204; }\n"
                               "  location /slow/ { alias %3/; limit_rate 4m; } } }\n")
                    .arg(m_dir.path()).arg(m_port).arg(root).toUtf8());
        f.close();
        m_process.start(QStringLiteral("nginx"), {"-p", m_dir.path(), "-c", conf});
        if (!m_process.waitForStarted())
            return false;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 15000 && m_process.state() == QProcess::Running) {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, m_port);
            if (s.waitForConnected(100)) {
                s.write("GET /kavo-probe HTTP/1.0\r\n\r\n");
                QByteArray answer;
                while (!answer.contains("\r\n\r\n") && s.waitForReadyRead(2000))
                    answer += s.readAll();
                // A port that answers but is not ours is a lost race, not a working server.
                return answer.startsWith("HTTP/1.1 204") && answer.contains("Server: nginx")
                    && m_process.state() == QProcess::Running;
            }
            QTest::qWait(50);
        }
        return false;
    }
    ~Nginx()
    {
        m_process.terminate();
        m_process.waitForFinished(3000);
    }
    // Requests nginx has logged for the file, as "METHOD status" (the log is written per request).
    QStringList requests(const QString &name) const
    {
        QFile log(m_dir.filePath(QStringLiteral("access.log")));
        QStringList found;
        if (!log.open(QIODevice::ReadOnly))
            return found;
        const QByteArray path = " /" + name.toUtf8() + " HTTP";
        for (const QByteArray &line : log.readAll().split('\n')) {
            const int at = line.indexOf(path);
            if (at < 0)
                continue;
            const int method = line.lastIndexOf('"', at) + 1;
            const QList<QByteArray> after = line.mid(line.indexOf('"', at) + 1).trimmed().split(' ');
            found << QString::fromLatin1(line.mid(method, at - method) + ' ' + after.value(0));
        }
        return found;
    }
    QString url(const QString &name) const { return QStringLiteral("http://127.0.0.1:%1/%2").arg(m_port).arg(name); }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
};

// A server that answers every request with the same canned reply, for the faults nginx won't make.
class FaultServer : public QTcpServer
{
public:
    explicit FaultServer(const QByteArray &reply) : m_reply(reply)
    {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, s, [this, s] {
                    const QByteArray req = s->readAll();
                    ++requests;
                    if (req.startsWith("HEAD"))
                        s->write("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
                    else
                        s->write(m_reply);
                    if (!holdOpen || req.startsWith("HEAD"))
                        s->disconnectFromHost();
                });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/f.bin").arg(serverPort()); }
    int requests = 0;
    bool holdOpen = false; // GETs stay open after the reply, as a slow body would

private:
    QByteArray m_reply;
};

// Serves one file with byte ranges, one request per connection, and misbehaves on request: its
// HEAD answer can leave out Content-Length, it can refuse the one-byte probe, and it can stall
// GETs after their headers, keeping the connection open without sending a byte more.
class RangeServer : public QTcpServer
{
public:
    explicit RangeServer(const QByteArray &content) : m_content(content)
    {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, s, [this, s] { answer(s); });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/f.bin").arg(serverPort()); }

    bool headLength = true;
    bool probeRange = true;
    int headStatus = 200;      // 403 or 405: HEAD refused, as by servers of signed URLs
    bool probeWhole = false;   // the GET of byte 0 answers 200 with the whole length, then stalls
    bool ignoreRange = false;  // every GET answers 200 with the whole file
    QByteArray probeTotal;     // the total the one-byte probe's Content-Range names, when set
    int stalls = 0;
    int stalled = 0;

private:
    void answer(QTcpSocket *s)
    {
        // Taken out once complete: a later socket at the same address must start empty.
        const QByteArray request = m_pending.take(s) + s->readAll();
        if (!request.contains("\r\n\r\n")) {
            m_pending.insert(s, request);
            return;
        }
        const QByteArray total = QByteArray::number(m_content.size());
        if (request.startsWith("HEAD") && headStatus != 200) {
            s->write("HTTP/1.1 " + QByteArray::number(headStatus) + " Refused\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            s->disconnectFromHost();
            return;
        }
        if (request.startsWith("HEAD")) {
            s->write("HTTP/1.1 200 OK\r\nConnection: close\r\n"
                     + (headLength ? "Content-Length: " + total + "\r\n" : QByteArray()) + "\r\n");
            s->disconnectFromHost();
            return;
        }
        // Header names are case-insensitive; Qt 6.7 and later send them in lower case.
        static const QRegularExpression range(QStringLiteral("^Range:\\s*bytes=(\\d+)-(\\d+)"),
                                              QRegularExpression::CaseInsensitiveOption
                                                  | QRegularExpression::MultilineOption);
        const auto m = range.match(QString::fromLatin1(request));
        const qint64 from = m.captured(1).toLongLong();
        const qint64 to = m.captured(2).toLongLong();
        if (ignoreRange || (probeWhole && from == 0 && to == 0)) {
            // The whole file is announced; a probe must take the length and never wait for it.
            s->write("HTTP/1.1 200 OK\r\nContent-Length: " + total + "\r\nConnection: close\r\n\r\n");
            if (ignoreRange) {
                s->write(m_content);
                s->disconnectFromHost();
            }
            return;
        }
        if (!probeRange && from == 0 && to == 0) {
            s->write("HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            s->disconnectFromHost();
            return;
        }
        const QByteArray named = !probeTotal.isEmpty() && from == 0 && to == 0 ? probeTotal : total;
        const QByteArray head = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + QByteArray::number(from) + "-"
            + QByteArray::number(to) + "/" + named + "\r\nContent-Length: " + QByteArray::number(to - from + 1)
            + "\r\nConnection: close\r\n\r\n";
        if (stalls > 0 && to > 0) {
            --stalls;
            ++stalled;
            s->write(head); // and then nothing, with the connection left open
            return;
        }
        s->write(head + m_content.mid(int(from), int(to - from + 1)));
        s->disconnectFromHost();
    }

    QByteArray m_content;
    QHash<QTcpSocket *, QByteArray> m_pending;
};

class TestHttpDownload : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void pieceArithmetic_data();
    void pieceArithmetic();
    void download_data();
    void download();
    void resumeAfterStop();
    void restartedTaskFinishes();
    void resumeFromLog_data();
    void resumeFromLog();
    void sizeChangeFails();
    void temporaryFileWithoutLogStartsOver();
    void faults_data();
    void faults();
    void misbehavingServer_data();
    void misbehavingServer();
    void fullDisk_data();
    void fullDisk();
    void onePieceOneRequest();
    void killAndResume();
    void killBeforeTheNewTaskIsLogged();

private:
    QByteArray makeFile(const QString &name, qint64 size);
    NetworkError run(HttpDownloadManager &manager, const QString &url, int timeoutMs = 120000);

    QTemporaryDir m_root;
    Nginx m_nginx;
};

void TestHttpDownload::initTestCase()
{
    // nginx's workers run as another user: they must be able to read the served folder.
    QFile::setPermissions(m_root.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                          | QFileDevice::ReadOther | QFileDevice::ExeOther | QFileDevice::ReadGroup | QFileDevice::ExeGroup);
    QVERIFY(m_nginx.start(m_root.path()));
}

QByteArray TestHttpDownload::makeFile(const QString &name, qint64 size)
{
    QByteArray data(int(size), Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char(QRandomGenerator::global()->generate());
    QFile f(m_root.filePath(name));
    f.open(QIODevice::WriteOnly);
    f.write(data);
    f.setPermissions(f.permissions() | QFileDevice::ReadOther | QFileDevice::ReadGroup);
    return data;
}

NetworkError TestHttpDownload::run(HttpDownloadManager &manager, const QString &url, int timeoutMs)
{
    QSignalSpy spy(&manager, &HttpDownloadManager::finished);
    manager.startTask(url);
    if (spy.isEmpty())
        spy.wait(timeoutMs);
    if (spy.isEmpty()) {
        NetworkError e;
        e.setErrorString(QStringLiteral("test timed out"));
        return e;
    }
    return spy.first().at(1).value<NetworkError>();
}

void TestHttpDownload::pieceArithmetic_data()
{
    QTest::addColumn<qint64>("fileSize");
    QTest::addColumn<int>("threads");
    QTest::addColumn<qint64>("pieceSize");
    QTest::addColumn<qint64>("pieces");
    QTest::newRow("30 MiB, 5 connections") << qint64(31457280) << 5 << qint64(2097152) << qint64(15);
    QTest::newRow("under 2 MiB") << qint64(1000000) << 5 << qint64(2097152) << qint64(1);
    QTest::newRow("d = 3000000") << qint64(150000000) << 5 << qint64(3050880) << qint64(50);
    QTest::newRow("over 4 GiB") << qint64(5000000000LL) << 5 << qint64(100057600) << qint64(50);
}

void TestHttpDownload::pieceArithmetic()
{
    QFETCH(qint64, fileSize);
    QFETCH(int, threads);
    QFETCH(qint64, pieceSize);
    QFETCH(qint64, pieces);
    QCOMPARE(HttpDownloadTask::computePieceSize(fileSize, threads), pieceSize);
    QCOMPARE(HttpDownloadTask::pieceCount(fileSize, pieceSize), pieces);
}

void TestHttpDownload::download_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("threads");
    QTest::newRow("0 bytes") << "Empty.bin" << qint64(0) << 5;
    QTest::newRow("1 byte") << "One.bin" << qint64(1) << 5;
    QTest::newRow("mixed-case url, 3 pieces") << "MixedCase.BIN" << qint64(3 * 2097152 + 7) << 5;
    QTest::newRow("one connection") << "single.bin" << qint64(2500000) << 1;
    QTest::newRow("no connection asked: one is used") << "zero.bin" << qint64(3 * 2097152 + 11) << 0;
    QTest::newRow("negative connection count") << "negative.bin" << qint64(2097152 + 5) << -3;
}

void TestHttpDownload::download()
{
    QFETCH(QString, name);
    QFETCH(qint64, size);
    QFETCH(int, threads);
    const QByteArray data = makeFile(name, size);
    QTemporaryDir out;
    HttpDownloadManager manager;
    const QString url = m_nginx.url(name);
    QVERIFY(manager.addTask(url, out.path(), threads));
    QVERIFY(!manager.addTask(url, out.path(), threads));
    const NetworkError error = run(manager, url);
    QVERIFY2(!error.hasError(), qPrintable(error.toString()));
    QFile f(out.filePath(name));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), data);
    QVERIFY(!QFile::exists(out.filePath(name + ".lrdl")));
    DownloadTaskLog log(out.filePath("update.rdl"));
    QString message;
    QVERIFY(log.load(message));
    QCOMPARE(log.tasks().value(0).url, url);
}

void TestHttpDownload::resumeAfterStop()
{
    const QByteArray data = makeFile("big.bin", 24 * 1024 * 1024);
    QTemporaryDir out;
    const QString url = m_nginx.url("big.bin");
    {
        HttpDownloadManager manager;
        manager.addTask(url, out.path(), 3);
        QSignalSpy spy(&manager, &HttpDownloadManager::finished);
        manager.startTask(url);
        QTest::qWait(30);
        manager.stopTask(url);
        QVERIFY(spy.isEmpty());
    }
    QVERIFY(!QFile::exists(out.filePath("big.bin")));
    QVERIFY(QFile::exists(out.filePath("big.bin.lrdl")));
    HttpDownloadManager manager;
    manager.addTask(url, out.path(), 3);
    const NetworkError error = run(manager, url);
    QVERIFY2(!error.hasError(), qPrintable(error.toString()));
    QFile f(out.filePath("big.bin"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QVERIFY(f.readAll() == data);
}

// The same task object stopped and started again goes on to the end.
void TestHttpDownload::restartedTaskFinishes()
{
    const QByteArray data = makeFile("restart.bin", 16 * 1024 * 1024);
    QTemporaryDir out;
    const QString url = m_nginx.url("slow/restart.bin");
    HttpDownloadManager manager;
    QVERIFY(manager.addTask(url, out.path(), 3));
    QSignalSpy spy(&manager, &HttpDownloadManager::finished);
    manager.startTask(url);
    QTRY_VERIFY(QFileInfo(out.filePath("update.rdl")).size() > 0);
    QTest::qWait(300);
    manager.stopTask(url);
    QVERIFY(spy.isEmpty());
    QVERIFY(!QFile::exists(out.filePath("restart.bin")));
    const NetworkError error = run(manager, url, 60000);
    QVERIFY2(!error.hasError(), qPrintable(error.toString()));
    QFile f(out.filePath("restart.bin"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QVERIFY(f.readAll() == data);
}

// A task log left by an earlier run, and what the resumed download makes of it: a log that
// does not describe the pieces of the file is never trusted to say what is stored.
void TestHttpDownload::resumeFromLog_data()
{
    QTest::addColumn<int>("threadCount");
    QTest::addColumn<int>("unstartedIndex");
    QTest::addColumn<QList<FilePiece>>("pieces");
    QTest::addColumn<qint64>("stored"); // leading bytes of the temporary file that hold the file
    QTest::addColumn<qint64>("sizeOff"); // how far the temporary file's size is off the file's
    // Piece 1 complete but never reported finished: handed out again, reported at once.
    QTest::newRow("broken thread count") << 0 << 0 << QList<FilePiece>{FilePiece(1, 0, 2097151, 2097152)}
                                         << qint64(2097152) << qint64(0);
    QTest::newRow("unstarted index past the pieces") << 5 << 10 << QList<FilePiece>{} << qint64(0) << qint64(0);
    QTest::newRow("piece outside the file") << 5 << 1 << QList<FilePiece>{FilePiece(7, 0, 99, 0)} << qint64(0)
                                            << qint64(0);
    QTest::newRow("piece claims more than its range")
        << 5 << 1 << QList<FilePiece>{FilePiece(1, 0, 2097151, 4000000)} << qint64(0) << qint64(0);
    QTest::newRow("every piece handed out, the last unfinished")
        << 5 << 3 << QList<FilePiece>{FilePiece(3, 4194304, 5242882, 65536)} << qint64(4194304 + 65536) << qint64(0);
    // A sound log beside a temporary file cut short or grown: the file is not what the log describes.
    QTest::newRow("temporary file shorter than the file")
        << 5 << 1 << QList<FilePiece>{} << qint64(2097152) << qint64(-1048579);
    QTest::newRow("temporary file longer than the file")
        << 5 << 1 << QList<FilePiece>{} << qint64(2097152) << qint64(4096);
    // A piece the index says was never handed out, with bytes counted as stored.
    QTest::newRow("piece listed past the unstarted index")
        << 5 << 1 << QList<FilePiece>{FilePiece(3, 4194304, 5242882, 65536)} << qint64(2097152) << qint64(0);
}

void TestHttpDownload::resumeFromLog()
{
    QFETCH(int, threadCount);
    QFETCH(int, unstartedIndex);
    QFETCH(QList<FilePiece>, pieces);
    QFETCH(qint64, stored);
    QFETCH(qint64, sizeOff);
    const QByteArray data = makeFile("tc.bin", 5 * 1024 * 1024 + 3);
    QTemporaryDir out;
    const QString url = m_nginx.url("tc.bin");
    DownloadTaskLog log(out.filePath("update.rdl"));
    DownloadTaskInfo info;
    info.url = url;
    info.savePath = out.filePath("tc.bin");
    info.threadCount = threadCount;
    info.fileSize = data.size();
    info.unstartedOffsetIndex = unstartedIndex;
    info.pieces = pieces;
    log.addTask(info);
    QVERIFY(log.save());
    QFile tmp(out.filePath("tc.bin.lrdl"));
    QVERIFY(tmp.open(QIODevice::WriteOnly));
    tmp.write(data.left(int(stored)));
    tmp.resize(data.size() + sizeOff);
    tmp.close();

    HttpDownloadManager manager;
    manager.addTask(url, out.path(), 5);
    const NetworkError error = run(manager, url);
    QVERIFY2(!error.hasError(), qPrintable(error.toString()));
    QFile f(out.filePath("tc.bin"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QVERIFY(f.readAll() == data);
}

void TestHttpDownload::sizeChangeFails()
{
    makeFile("change.bin", 4 * 1024 * 1024);
    QTemporaryDir out;
    const QString url = m_nginx.url("change.bin");
    {
        HttpDownloadManager manager;
        manager.addTask(url, out.path(), 2);
        manager.startTask(url);
        manager.stopTask(url);
    }
    makeFile("change.bin", 4 * 1024 * 1024 + 1);
    HttpDownloadManager manager;
    manager.addTask(url, out.path(), 2);
    const NetworkError error = run(manager, url);
    QCOMPARE(error.errorString(), QStringLiteral("Resume assert fileSize or path failed!"));
}

void TestHttpDownload::temporaryFileWithoutLogStartsOver()
{
    // What a kill between making the temporary file and first writing the log leaves behind.
    const QByteArray data = makeFile("stray.bin", 3 * 1024 * 1024);
    QTemporaryDir out;
    QFile tmp(out.filePath("stray.bin.lrdl"));
    QVERIFY(tmp.open(QIODevice::WriteOnly));
    tmp.write(QByteArray(1000, 'z'));
    tmp.close();
    HttpDownloadManager manager;
    const QString url = m_nginx.url("stray.bin");
    manager.addTask(url, out.path(), 2);
    const NetworkError error = run(manager, url);
    QVERIFY2(!error.hasError(), qPrintable(error.toString()));
    QFile f(out.filePath("stray.bin"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QVERIFY(f.readAll() == data);
}

void TestHttpDownload::faults_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("expectedCode");
    QTest::addColumn<int>("minRequests");
    QTest::addColumn<qint64>("done"); // what the log keeps of the given-up piece
    QTest::addColumn<bool>("holdOpen");
    QTest::newRow("500 gives up after retries")
        << QByteArray("HTTP/1.1 500 Oops\r\nContent-Length: 0\r\n\r\n") << 0 << 3 << qint64(0) << false;
    // A whole body is taken only when it is exactly the piece asked for.
    QTest::newRow("range ignored, body not the file") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 200000\r\n\r\n")
                                   + QByteArray(200000, 'x') << 999 << 1 << qint64(0) << false;
    QTest::newRow("connection dropped mid-block")
        << QByteArray("HTTP/1.1 206 Partial\r\nContent-Range: bytes 0-65535/100000\r\nContent-Length: 65536\r\n\r\nabc")
        << 0 << 3 << qint64(0) << false;
    // One whole block and part of the next: the part is never counted. Later attempts ask from
    // the second block and get the first again, which is refused.
    QTest::newRow("dropped after one block")
        << QByteArray("HTTP/1.1 206 Partial\r\nContent-Range: bytes 0-99999/100000\r\nContent-Length: 100000\r\n\r\n")
               + QByteArray(65536 + 1000, 'b')
        << 0 << 4 << qint64(65536) << false;
    QTest::newRow("range from the wrong byte")
        << QByteArray("HTTP/1.1 206 Partial\r\nContent-Range: bytes 5-7/100000\r\nContent-Length: 3\r\n\r\nabc")
        << 0 << 3 << qint64(0) << false;
    // The size the download began with is not the file's any more: its bytes are never mixed in.
    QTest::newRow("range of a file of another size")
        << QByteArray("HTTP/1.1 206 Partial\r\nContent-Range: bytes 0-99999/250000\r\nContent-Length: 100000\r\n\r\n")
               + QByteArray(100000, 'c')
        << 0 << 3 << qint64(0) << false;
    // Never read, the refused body is not waited for either: each attempt ends at its headers.
    QTest::newRow("refused range, body held open")
        << QByteArray("HTTP/1.1 206 Partial\r\nContent-Range: bytes 0-99999/250000\r\nContent-Length: 100000\r\n\r\n")
               + QByteArray(1000, 'c')
        << int(QNetworkReply::ProtocolFailure) << 3 << qint64(0) << true;
}

void TestHttpDownload::faults()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, expectedCode);
    QFETCH(int, minRequests);
    QFETCH(qint64, done);
    QFETCH(bool, holdOpen);
    FaultServer server(reply);
    server.holdOpen = holdOpen;
    QTemporaryDir out;
    HttpDownloadManager manager;
    manager.addTask(server.url(), out.path(), 1);
    const NetworkError error = run(manager, server.url(), 30000);
    QVERIFY(error.hasError());
    QVERIFY(error.errorString() != QStringLiteral("test timed out"));
    if (expectedCode)
        QCOMPARE(error.errorCode(), expectedCode);
    QVERIFY(server.requests >= minRequests);
    QVERIFY(!QFile::exists(out.filePath("f.bin")));
    // The given-up piece keeps its unfetched bytes for the next run.
    DownloadTaskLog log(out.filePath("update.rdl"));
    QString message;
    QVERIFY(log.load(message));
    const QList<FilePiece> pieces = log.pieces(server.url());
    QCOMPARE(pieces.size(), 1);
    QCOMPARE(pieces.first().done, done);
}

void TestHttpDownload::misbehavingServer_data()
{
    QTest::addColumn<bool>("headLength");
    QTest::addColumn<bool>("probeRange");
    QTest::addColumn<int>("stalls");
    QTest::addColumn<QString>("error"); // empty and code 0: the download succeeds
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("headStatus");
    QTest::addColumn<bool>("probeWhole");
    QTest::addColumn<bool>("ignoreRange");
    QTest::addColumn<QByteArray>("probeTotal");
    QTest::newRow("HEAD without length, size from the one-byte range")
        << false << true << 0 << QString() << 0 << 200 << false << false << QByteArray();
    QTest::newRow("no length and no range") << false << false << 0
                                            << QStringLiteral("GetFileLength contentLength covert failed!") << 0
                                            << 200 << false << false << QByteArray();
    QTest::newRow("stalls once after the headers, then serves") << true << true << 1 << QString() << 0 << 200
                                                                << false << false << QByteArray();
    QTest::newRow("stalls every time") << true << true << 1000 << QString()
                                       << int(QNetworkReply::OperationCanceledError) << 200 << false << false << QByteArray();
    QTest::newRow("HEAD 403, size from the one-byte range") << true << true << 0 << QString() << 0 << 403 << false
                                                            << false << QByteArray();
    QTest::newRow("HEAD 405, size from the one-byte range") << true << true << 0 << QString() << 0 << 405 << false
                                                            << false << QByteArray();
    // The probe's answer brings the whole file's length and then nothing: a probe that waited
    // for the body would hang until the transfer timeout and fail.
    QTest::newRow("HEAD without length, the one-byte range ignored") << false << true << 0 << QString() << 0 << 200
                                                                     << true << false << QByteArray();
    QTest::newRow("HEAD 405, the one-byte range ignored") << true << true << 0 << QString() << 0 << 405 << true
                                                          << false << QByteArray();
    QTest::newRow("no Range at all, one piece from a whole body") << true << true << 0 << QString() << 0 << 200
                                                                  << false << true << QByteArray();
    // A size past any file's: read as 0 it made an empty file of a successful download.
    QTest::newRow("HEAD without length, the range's total overflows")
        << false << true << 0 << QStringLiteral("GetFileLength contentLength covert failed!") << 0 << 200 << false
        << false << QByteArray("99999999999999999999999");
}

void TestHttpDownload::misbehavingServer()
{
    QFETCH(bool, headLength);
    QFETCH(bool, probeRange);
    QFETCH(int, stalls);
    QFETCH(QString, error);
    QFETCH(int, code);
    QFETCH(int, headStatus);
    QFETCH(bool, probeWhole);
    QFETCH(bool, ignoreRange);
    QFETCH(QByteArray, probeTotal);
    QByteArray content(300000, Qt::Uninitialized);
    for (int i = 0; i < content.size(); ++i)
        content[i] = char(i * 13 + (i >> 9));
    RangeServer server(content);
    server.headLength = headLength;
    server.probeRange = probeRange;
    server.stalls = stalls;
    server.headStatus = headStatus;
    server.probeWhole = probeWhole;
    server.ignoreRange = ignoreRange;
    server.probeTotal = probeTotal;
    QTemporaryDir out;
    HttpDownloadManager manager;
    QVERIFY(manager.addTask(server.url(), out.path(), 2));
    manager.task(server.url())->setTransferTimeout(300);
    QElapsedTimer timer;
    timer.start();
    const NetworkError result = run(manager, server.url(), 20000);
    QVERIFY2(result.errorString() != QStringLiteral("test timed out"), "the download hung");
    if (error.isEmpty() && code == 0) {
        QVERIFY2(!result.hasError(), qPrintable(result.toString()));
        QFile f(out.filePath("f.bin"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY(f.readAll() == content);
    } else {
        QVERIFY(result.hasError());
        if (code)
            QVERIFY2(result.errorCode() == code, qPrintable(result.toString()));
        else
            QCOMPARE(result.errorString(), error);
        QVERIFY(!QFile::exists(out.filePath("f.bin")));
    }
    if (stalls > 0)
        QVERIFY(server.stalled >= qMin(stalls, HttpDownloadWorker::Attempts));
}

void TestHttpDownload::fullDisk_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("fillToSize"); // leave exactly the file's size free for it
    QTest::addColumn<QString>("error");
    QTest::newRow("file larger than the disk") << qint64(16 << 20) << false << QStringLiteral("Can't Download Create File!");
    QTest::newRow("no room left for the log") << qint64(4 << 20) << true << QStringLiteral("Write downloadLog file failed!");
}

void TestHttpDownload::fullDisk()
{
    QFETCH(qint64, size);
    QFETCH(bool, fillToSize);
    QFETCH(QString, error);
    const QString name = QStringLiteral("disk%1.bin").arg(size);
    makeFile(name, size);
    QTemporaryDir out;
    QTemporaryDir mountPoint;
    // An earlier task's log, which the failed run must leave intact.
    DownloadTaskLog old(out.filePath("update.rdl"));
    DownloadTaskInfo other;
    other.url = QStringLiteral("http://example.invalid/other.bin");
    other.savePath = QStringLiteral("/somewhere/other.bin");
    other.threadCount = 3;
    other.fileSize = 1234;
    other.pieces << FilePiece(1, 0, 1233, 17);
    old.addTask(other);
    QVERIFY(old.save());

    // An 8 MiB file system of its own, in a private mount namespace that ends with the child.
    const QString script = QStringLiteral(
        "mount -t tmpfs -o size=8m kavo \"$1\" || exit 77\n"
        "cp \"$3/update.rdl\" \"$1/\"\n"
        "if [ \"$5\" != 0 ]; then\n"
        "  avail=$(df -B1 --output=avail \"$1\" | tail -1)\n"
        "  fallocate -l $((avail - $5)) \"$1/filler\" || exit 78\n"
        "fi\n"
        "\"$4\" \"$2\" \"$1/%1\" -c 2 2>\"$3/stderr\"; rc=$?\n"
        "ls -A \"$1\" > \"$3/listing\"\n"
        "cp \"$1/update.rdl\" \"$3/update.after\"\n"
        "exit $rc\n").arg(name);
    QProcess child;
    child.start(QStringLiteral("unshare"), {"-m", "--propagation", "private", "sh", "-c", script, "sh",
                                           mountPoint.path(), m_nginx.url(name), out.path(),
                                           qEnvironmentVariable("KAVO_BENCH_DIR") + "/kavo-get",
                                           QString::number(fillToSize ? size : 0)});
    QVERIFY(child.waitForFinished(60000));
    if (child.exitCode() == 77 || child.exitStatus() != QProcess::NormalExit
        || child.readAllStandardError().contains("unshare"))
        QSKIP("needs root to mount a small file system in a private namespace");
    QCOMPARE(child.exitCode(), 1);
    QFile stderrFile(out.filePath("stderr"));
    QVERIFY(stderrFile.open(QIODevice::ReadOnly));
    QVERIFY2(stderrFile.readAll().contains(error.toUtf8()), qPrintable(error));
    QFile listing(out.filePath("listing"));
    QVERIFY(listing.open(QIODevice::ReadOnly));
    QStringList names = QString::fromUtf8(listing.readAll()).split('\n', Qt::SkipEmptyParts);
    names.removeAll(QStringLiteral("filler"));
    // Neither the target, nor its half-made temporary file, nor a half-written log is left.
    QCOMPARE(names, QStringList{"update.rdl"});
    DownloadTaskLog after(out.filePath("update.after"));
    QString message;
    QVERIFY(after.load(message));
    QCOMPARE(after.taskCount(), 1);
    QCOMPARE(after.pieceDone(other.url, 1), 17LL);
}

// Each piece streams through one request: the reply's bounded buffer must keep refilling while
// the worker takes what arrived, or a stalled connection ends in the transfer timeout and a resend.
void TestHttpDownload::onePieceOneRequest()
{
    const QString name = QStringLiteral("OneRequestEach.bin");
    const qint64 pieces = 40;
    const QByteArray data = makeFile(name, pieces * 2097152 - 12345);
    QTemporaryDir out;
    HttpDownloadManager manager;
    const QString url = m_nginx.url(name);
    QVERIFY(manager.addTask(url, out.path(), 5));
    manager.task(url)->setTransferTimeout(2000);
    const NetworkError error = run(manager, url, 120000);
    QVERIFY2(!error.hasError(), qPrintable(error.toString()));
    QFile f(out.filePath(name));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QVERIFY(f.readAll() == data);
    QTRY_COMPARE(m_nginx.requests(name).filter(QStringLiteral("GET ")).size(), int(pieces));
    QStringList expected{QStringLiteral("HEAD 200")};
    for (int i = 0; i < pieces; ++i)
        expected << QStringLiteral("GET 206");
    QStringList seen = m_nginx.requests(name);
    seen.sort();
    expected.sort();
    QCOMPARE(seen, expected);
}

void TestHttpDownload::killAndResume()
{
    const QString kavoGet = qEnvironmentVariable("KAVO_BENCH_DIR") + QStringLiteral("/kavo-get");
    QVERIFY(QFile::exists(kavoGet));
    const QByteArray data = makeFile("kill.bin", 64 * 1024 * 1024);
    QTemporaryDir out;
    // At 4 MB/s per connection the download lasts a few seconds, so every kill lands mid-way.
    const QStringList args{m_nginx.url("slow/kill.bin"), out.filePath("kill.bin"), "-c", "5"};
    int kills = 0;
    QByteArray endedEarly;
    for (int round = 0; round < 60 && kills < 10; ++round) {
        QProcess p;
        p.start(kavoGet, args);
        QVERIFY(p.waitForStarted());
        if (!p.waitForFinished(QRandomGenerator::global()->bounded(20, 150))) {
            p.kill();
            p.waitForFinished();
            ++kills;
            continue;
        }
        endedEarly = "exit " + QByteArray::number(p.exitCode()) + ": " + p.readAllStandardError();
        break;
    }
    QVERIFY2(kills >= 10, endedEarly.constData());
    QProcess last;
    last.start(kavoGet, args);
    QVERIFY(last.waitForFinished(120000));
    QVERIFY2(last.exitCode() == 0, last.readAllStandardError().constData());
    QFile f(out.filePath("kill.bin"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256),
             QCryptographicHash::hash(data, QCryptographicHash::Sha256));
}

// A file downloaded before and then deleted is fetched again, and that run is killed once its
// temporary file is made but before the log names the new task: what the log still says of the
// finished one must never vouch for the new, empty file.
void TestHttpDownload::killBeforeTheNewTaskIsLogged()
{
    const QString kavoGet = qEnvironmentVariable("KAVO_BENCH_DIR") + QStringLiteral("/kavo-get");
    QVERIFY(QFile::exists(kavoGet));
    const QByteArray data = makeFile("again.bin", 3 * 1024 * 1024 + 5);
    QTemporaryDir out;
    const QStringList args{m_nginx.url("again.bin"), out.filePath("again.bin"), "-c", "2"};
    QProcess first;
    first.start(kavoGet, args);
    QVERIFY(first.waitForFinished(60000));
    QVERIFY2(first.exitCode() == 0, first.readAllStandardError().constData());
    QVERIFY(QFile::remove(out.filePath("again.bin")));

    QProcess killed;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KAVO_TEST_KILL_AT"), QStringLiteral("created"));
    killed.setProcessEnvironment(env);
    killed.start(kavoGet, args);
    QVERIFY(killed.waitForFinished(60000));
    QCOMPARE(killed.exitStatus(), QProcess::CrashExit);

    QProcess last;
    last.start(kavoGet, args);
    QVERIFY(last.waitForFinished(60000));
    QVERIFY2(last.exitCode() == 0, last.readAllStandardError().constData());
    QFile f(out.filePath("again.bin"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QVERIFY(f.readAll() == data);
}

QTEST_GUILESS_MAIN(TestHttpDownload)
#include "tst_httpdownload.moc"
