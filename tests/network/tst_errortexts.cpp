#include "network/error.h"
#include "network/networkerror.h"
#include "network/sslerror.h"

#include <QThread>
#include <QtTest>

class tst_ErrorTexts : public QObject
{
    Q_OBJECT
private slots:
    void networkErrorLines_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("line");
        QTest::newRow("no error") << 0 << "Code:0, Description: No error";
        QTest::newRow("timeout") << 4 << "Code:4, Description: The connection to the remote server timed out.";
        QTest::newRow("not found")
            << 203
            << "Code:203, Description: The remote content was not found at the server (similar to HTTP error 404).";
        QTest::newRow("protocol failure") << 399
                                          << "Code:399, Description: A breakdown in protocol was detected (parsing "
                                             "error, invalid or unexpected responses, etc.).";
        QTest::newRow("no row") << 150 << "Code:150, Description: Unknown error.";
        QTest::newRow("tab runs") << 7
                                  << QString("Code:7, Description: The connection was broken due to disconnection from "
                                             "the network, however the system has initiated"
                                             " \t\t\t\t\t\t\t\t\t\t\t\t\t\t\t   roaming to another access point. The "
                                             "request should be resubmitted and will be processed as soon as"
                                             " \t\t\t\t\t\t\t\t\t\t\t\t\t\t\t   the connection is re-established.");
    }

    void networkErrorLines()
    {
        QFETCH(int, code);
        QFETCH(QString, line);
        NetworkError error(code);
        QCOMPARE(error.toString(), line);
        QCOMPARE(error.hasError(), code != 0);
    }

    void ownTextAndLaterCode()
    {
        NetworkError error;
        QVERIFY(!error.hasError());
        error.setErrorString(QStringLiteral("abc"));
        QCOMPARE(error.errorCode(), 999);
        QCOMPARE(error.toString(), QStringLiteral("Code:999, Description: abc"));
        error.setErrorCode(5);
        QCOMPARE(error.errorString(), QStringLiteral("abc"));
        QCOMPARE(error.toString(),
                 QStringLiteral("Code:5, Description: The operation was canceled via calls to abort() or close() "
                                "before it was finished."));
        NetworkError copy(error);
        NetworkError assigned;
        assigned = copy;
        QCOMPARE(assigned.errorCode(), 5);
        QCOMPARE(assigned.errorString(), QStringLiteral("abc"));
    }

    void travelsThroughQueuedSignals()
    {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        QVERIFY(QMetaType::fromName("NetworkError").isValid());
#else
        QVERIFY(QMetaType::type("NetworkError") != QMetaType::UnknownType);
#endif
        NetworkError error;
        error.setErrorString(QStringLiteral("from a worker"));
        const QVariant value = QVariant::fromValue(error);
        QCOMPARE(value.value<NetworkError>().toString(), QStringLiteral("Code:999, Description: from a worker"));
    }

    void firstUseFromManyThreads()
    {
        QList<QThread *> threads;
        QAtomicInt good;
        for (int i = 0; i < 8; ++i) {
            threads.append(QThread::create([&good] {
                if (NetworkError(3).toString().endsWith(QLatin1String("(invalid hostname).")))
                    good.fetchAndAddRelaxed(1);
            }));
            threads.last()->start();
        }
        for (QThread *t : threads) {
            t->wait();
            delete t;
        }
        QCOMPARE(good.loadRelaxed(), 8);
    }

    void sslErrorTexts_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("expired") << 6 << "The certificate has expired.";
        QTest::newRow("no full stop") << 15 << "The basicConstraints path length parameter has been exceeded";
        QTest::newRow("unspecified") << -1 << "Unspecified error.";
        QTest::newRow("unknown") << 99 << "Unknown error 99";
        QTest::newRow("tabbed")
            << 19
            << QString("The current candidate issuer certificate was rejected because its subject name"
                       " \t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\tdid not match the issuer name of the current certificate.");
    }

    void sslErrorTexts()
    {
        QFETCH(int, code);
        QFETCH(QString, text);
        QCOMPARE(SslError(code).toString(), text);
    }

    void plainError() { QCOMPARE(Error(QStringLiteral("消息")).message(), QStringLiteral("消息")); }
};

QTEST_MAIN(tst_ErrorTexts)
#include "tst_errortexts.moc"
