#include <QProcess>
#include <QtTest>

// Runs the built programs as a user's shell would.
class tst_UpdaterCli : public QObject
{
    Q_OBJECT

    static QString program(const QString &name)
    {
        return qEnvironmentVariable("KAVO_BIN_DIR") + QLatin1Char('/') + name;
    }

private slots:
    void updaterWithoutModeRefuses_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("no arguments") << QStringList();
        QTest::newRow("name and version, no mode") << QStringList{"-app", "Shop", "-version", "5.2"};
        QTest::newRow("unknown switch") << QStringList{"-foo"};
    }

    void updaterWithoutModeRefuses()
    {
        QFETCH(QStringList, arguments);
        QProcess process;
        process.start(program(QStringLiteral("Kavo.Update")), arguments);
        QVERIFY(process.waitForFinished(20000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 1);
        const QStringList lines = QString::fromUtf8(process.readAllStandardError()).split(QLatin1Char('\n'));
        QVERIFY2(lines.contains(QStringLiteral("错误: 亲,人品不对吧!")), qPrintable(lines.join('|')));
    }
};

QTEST_MAIN(tst_UpdaterCli)
#include "tst_updater_cli.moc"
