#include "browser/host.h"

#include <QtTest>

class tst_Host : public QObject
{
    Q_OBJECT
private slots:
    void registrationKeepsFirstCreator()
    {
        Host &host = Host::instance();
        QVERIFY(host.registerCreator(QStringLiteral("Probe"), [] {
            auto *o = new QObject;
            o->setObjectName(QStringLiteral("first"));
            return o;
        }));
        QVERIFY(!host.registerCreator(QStringLiteral("Probe"), [] { return new QObject; }));
        QVERIFY(!host.registerCreator(QString(), [] { return new QObject; }));
        std::unique_ptr<QObject> made(host.lookupCreator(QStringLiteral("Probe"))());
        QCOMPARE(made->objectName(), QStringLiteral("first"));
        QVERIFY(!made->parent());
        std::unique_ptr<QObject> again(host.lookupCreator(QStringLiteral("Probe"))());
        QVERIFY(again.get() != made.get());
    }

    void lookupIsExact_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("other case") << "probe";
        QTest::newRow("empty") << "";
        QTest::newRow("unknown") << "Nothing";
        QTest::newRow("padded") << " Probe";
    }

    void lookupIsExact()
    {
        QFETCH(QString, name);
        Host::instance().registerCreator(QStringLiteral("Probe"), [] { return new QObject; });
        QVERIFY(!Host::instance().lookupCreator(name));
    }
};

QTEST_MAIN(tst_Host)
#include "tst_host.moc"
