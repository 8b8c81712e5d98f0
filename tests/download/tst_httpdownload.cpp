#include "download/downloadtasklog.h"
#include "download/httpdownloadmanager.h"
#include "download/httpdownloadtask.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QRandomGenerator>
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
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        m_port = probe.serverPort();
        probe.close();
        const QString conf = m_dir.filePath(QStringLiteral("nginx.conf"));
        QFile f(conf);
        f.open(QIODevice::WriteOnly);
        f.write(QStringLiteral("daemon off; pid %1/nginx.pid; error_log %1/error.log;\n"
                               "events {}\nhttp { access_log off; client_body_temp_path %1;\n"
                               "server { listen 127.0.0.1:%2; root %3; } }\n")
                    .arg(m_dir.path()).arg(m_port).arg(root).toUtf8());
        f.close();
        m_process.start(QStringLiteral("nginx"), {"-p", m_dir.path(), "-c", conf});
        if (!m_process.waitForStarted())
            return false;
        for (int i = 0; i < 100; ++i) {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, m_port);
            if (s.waitForConnected(100))
                return true;
            QTest::qWait(50);
        }
        return false;
    }
    ~Nginx()
    {
        m_process.terminate();
        m_process.waitForFinished(3000);
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
                    s->disconnectFromHost();
                });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/f.bin").arg(serverPort()); }
    int requests = 0;

private:
    QByteArray m_reply;
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
    void resumeWithBrokenThreadCount();
    void sizeChangeFails();
    void faults_data();
    void faults();
    void killAndResume();

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

void TestHttpDownload::resumeWithBrokenThreadCount()
{
    const QByteArray data = makeFile("tc.bin", 5 * 1024 * 1024 + 3);
    QTemporaryDir out;
    const QString url = m_nginx.url("tc.bin");
    DownloadTaskLog log(out.filePath("update.rdl"));
    DownloadTaskInfo info;
    info.url = url;
    info.savePath = out.filePath("tc.bin");
    info.threadCount = 0;
    info.fileSize = data.size();
    // Piece 1 complete but never reported finished: handed out again, reported at once.
    info.unstartedOffsetIndex = 0;
    info.pieces << FilePiece(1, 0, 2097151, 2097152);
    log.addTask(info);
    QVERIFY(log.save());
    QFile tmp(out.filePath("tc.bin.lrdl"));
    QVERIFY(tmp.open(QIODevice::WriteOnly));
    tmp.write(data.left(2097152));
    tmp.resize(data.size());
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

void TestHttpDownload::faults_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("expectedCode");
    QTest::addColumn<int>("minRequests");
    QTest::newRow("500 gives up after retries")
        << QByteArray("HTTP/1.1 500 Oops\r\nContent-Length: 0\r\n\r\n") << 0 << 3;
    QTest::newRow("range ignored") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n")
                                   + QByteArray(100000, 'x') << 999 << 1;
    QTest::newRow("connection dropped mid-block")
        << QByteArray("HTTP/1.1 206 Partial\r\nContent-Range: bytes 0-65535/100000\r\nContent-Length: 65536\r\n\r\nabc")
        << 0 << 3;
    QTest::newRow("range from the wrong byte")
        << QByteArray("HTTP/1.1 206 Partial\r\nContent-Range: bytes 5-7/100000\r\nContent-Length: 3\r\n\r\nabc")
        << 0 << 3;
}

void TestHttpDownload::faults()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, expectedCode);
    QFETCH(int, minRequests);
    FaultServer server(reply);
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
    QCOMPARE(pieces.first().done, 0LL);
}

void TestHttpDownload::killAndResume()
{
    const QString kavoGet = qEnvironmentVariable("KAVO_BIN_DIR") + QStringLiteral("/kavo-get");
    QVERIFY(QFile::exists(kavoGet));
    const QByteArray data = makeFile("kill.bin", 64 * 1024 * 1024);
    QTemporaryDir out;
    const QStringList args{m_nginx.url("kill.bin"), out.filePath("kill.bin"), "-c", "5"};
    int kills = 0;
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
        break;
    }
    QVERIFY(kills >= 10);
    QProcess last;
    last.start(kavoGet, args);
    QVERIFY(last.waitForFinished(120000));
    QVERIFY2(last.exitCode() == 0, last.readAllStandardError().constData());
    QFile f(out.filePath("kill.bin"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256),
             QCryptographicHash::hash(data, QCryptographicHash::Sha256));
}

QTEST_GUILESS_MAIN(TestHttpDownload)
#include "tst_httpdownload.moc"
