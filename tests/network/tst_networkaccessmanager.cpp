#include "network/networkaccessmanager.h"

#include <QNetworkDiskCache>
#include <QNetworkReply>
#include <QProcess>
#include <QSslKey>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QApplication>
#include <QTimer>
#include <QtTest>

// A loopback HTTPS server with a self-signed certificate made for the test run.
class TlsServer : public QTcpServer
{
public:
    QSslCertificate certificate;
    QSslKey key;

protected:
    void incomingConnection(qintptr handle) override
    {
        auto *socket = new QSslSocket(this);
        socket->setSocketDescriptor(handle);
        socket->setLocalCertificate(certificate);
        socket->setPrivateKey(key);
        connect(socket, &QSslSocket::readyRead, socket, [socket] {
            if (!socket->readAll().contains("\r\n\r\n"))
                return;
            socket->write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
            socket->disconnectFromHost();
        });
        socket->startServerEncryption();
    }
};

// Answers every request with 401 and a Basic challenge.
class ChallengeServer : public QTcpServer
{
protected:
    void incomingConnection(qintptr handle) override
    {
        auto *socket = new QTcpSocket(this);
        socket->setSocketDescriptor(handle);
        connect(socket, &QTcpSocket::readyRead, socket, [socket] {
            socket->readAll();
            socket->write("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"x\"\r\n"
                          "Content-Length: 0\r\nConnection: close\r\n\r\n");
            socket->disconnectFromHost();
        });
    }
};

class tst_NetworkAccessManager : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    TlsServer m_tls;

    static QNetworkReply *get(NetworkAccessManager &manager, const QUrl &url)
    {
        QNetworkReply *reply = manager.get(QNetworkRequest(url));
        QSignalSpy finished(reply, &QNetworkReply::finished);
        finished.wait(10000);
        return reply;
    }

private slots:
    void initTestCase()
    {
        const QString keyFile = m_dir.filePath(QStringLiteral("key.pem"));
        const QString certFile = m_dir.filePath(QStringLiteral("cert.pem"));
        if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty())
            QFAIL("the openssl command is missing (Debian package openssl; scripts/install-deps.sh installs it)");
        QCOMPARE(QProcess::execute(QStringLiteral("openssl"),
                                   {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                                    "/CN=localhost", "-keyout", keyFile, "-out", certFile}),
                 0);
        QFile key(keyFile), cert(certFile);
        QVERIFY(key.open(QIODevice::ReadOnly) && cert.open(QIODevice::ReadOnly));
        m_tls.key = QSslKey(key.readAll(), QSsl::Rsa);
        m_tls.certificate = QSslCertificate(cert.readAll());
        QVERIFY(!m_tls.key.isNull() && !m_tls.certificate.isNull());
        QVERIFY(m_tls.listen(QHostAddress::LocalHost));
    }

    void hostKey_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("key");
        QTest::newRow("explicit port") << "https://example.com:443/a" << "example.com:443";
        QTest::newRow("no port") << "https://example.com/a" << "example.com:-1";
        QTest::newRow("other port") << "http://127.0.0.1:8080/" << "127.0.0.1:8080";
    }

    void hostKey()
    {
        QFETCH(QString, url);
        QFETCH(QString, key);
        QCOMPARE(NetworkAccessManager::hostKey(QUrl(url)), key);
    }

    void diskCacheLivesInCacheLocation()
    {
        NetworkAccessManager manager;
        auto *cache = qobject_cast<QNetworkDiskCache *>(manager.cache());
        QVERIFY(cache);
        QCOMPARE(QDir(cache->cacheDirectory()).absolutePath(),
                 QDir(QStandardPaths::writableLocation(QStandardPaths::CacheLocation)).absolutePath());
    }

    void everyRequestAllowsPipelining()
    {
        NetworkAccessManager manager;
        QScopedPointer<QNetworkReply> reply(manager.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:1/")))));
        QCOMPARE(reply->request().attribute(QNetworkRequest::HttpPipeliningAllowedAttribute).toBool(), true);
    }

    void authenticationIsNeverAnswered()
    {
        ChallengeServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        NetworkAccessManager manager;
        QScopedPointer<QNetworkReply> reply(
            get(manager, QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(server.serverPort()))));
        QVERIFY(reply->isFinished());
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 401);
    }

    // Asked once per host; a yes lets later requests through without asking, a no asks again.
    // A trusted origin is never asked about: its loads fail.
    void certificateErrorsAreAskedOncePerHost_data()
    {
        QTest::addColumn<bool>("answer");
        QTest::addColumn<bool>("trusted");
        QTest::addColumn<int>("questionsAfterTwo");
        QTest::addColumn<bool>("secondSucceeds");
        QTest::newRow("yes") << true << false << 1 << true;
        QTest::newRow("no") << false << false << 2 << false;
        QTest::newRow("trusted origin, would say yes") << true << true << 0 << false;
    }

    void certificateErrorsAreAskedOncePerHost()
    {
        QFETCH(bool, answer);
        QFETCH(bool, trusted);
        QFETCH(int, questionsAfterTwo);
        QFETCH(bool, secondSucceeds);
        NetworkAccessManager manager;
        manager.setTrustProbe([trusted](const QUrl &) { return trusted; });
        int questions = 0;
        QString lastText;
        manager.setSslQuestion([&](const QString &, const QString &text) {
            ++questions;
            lastText = text;
            return answer;
        });
        const QUrl url(QStringLiteral("https://localhost:%1/").arg(m_tls.serverPort()));
        QScopedPointer<QNetworkReply> first(get(manager, url));
        QCOMPARE(questions, trusted ? 0 : 1);
        if (!trusted) {
            QVERIFY(lastText.startsWith(QStringLiteral("SSL Errors:\n\n") + url.toString() + QStringLiteral("\n\n")));
            QVERIFY(lastText.endsWith(QStringLiteral("\n\nDo you want to ignore these errors for this host?")));
        }
        QCOMPARE(first->error() == QNetworkReply::NoError, answer && !trusted);
        QVERIFY(first->isFinished());
        QScopedPointer<QNetworkReply> second(get(manager, url));
        QCOMPARE(questions, questionsAfterTwo);
        QCOMPARE(second->error() == QNetworkReply::NoError, secondSucceeds);
        QCOMPARE(manager.trustedHosts().contains(NetworkAccessManager::hostKey(url)), answer && !trusted);
    }

    // Unattended, the certificate question answers no at once instead of waiting for a click.
    void unattendedCertificateQuestionAnswersNo()
    {
        qputenv("KAVO_NONINTERACTIVE", "1");
        NetworkAccessManager manager;
        bool boxShown = false;
        QTimer watchdog;
        connect(&watchdog, &QTimer::timeout, [&boxShown] {
            if (QWidget *box = QApplication::activeModalWidget()) {
                boxShown = true;
                box->close();
            }
        });
        watchdog.start(200);
        const QUrl url(QStringLiteral("https://localhost:%1/").arg(m_tls.serverPort()));
        QScopedPointer<QNetworkReply> reply(get(manager, url));
        QVERIFY(reply->isFinished());
        QVERIFY(!boxShown);
        QCOMPARE(reply->error(), QNetworkReply::SslHandshakeFailedError);
        QVERIFY(manager.trustedHosts().isEmpty());
    }
};

QTEST_MAIN(tst_NetworkAccessManager)
#include "tst_networkaccessmanager.moc"
