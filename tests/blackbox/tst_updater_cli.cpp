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

    // The installer is started by an updater that exits at once, and its output may be a pipe
    // nobody reads any more: writing there must not kill it.
    void updaterOutlivesItsReader_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("no mode") << QStringList();
        QTest::newRow("execute mode outside an update area")
            << QStringList{"-app", "Demo", "-version", "5.0.0.9", "-execUpdate"};
    }

    void updaterOutlivesItsReader()
    {
        QFETCH(QStringList, arguments);
        QProcess read;
        read.start(program(QStringLiteral("Kavo.Update")), arguments);
        QVERIFY(read.waitForFinished(20000));
        QCOMPARE(read.exitStatus(), QProcess::NormalExit);
        // The shell reports how the updater ended while its output went into a closed pipe.
        QProcess shell;
        shell.start(QStringLiteral("bash"), QStringList{QStringLiteral("-c"),
                                                        QStringLiteral("\"$0\" \"$@\" 2>&1 | true; echo ${PIPESTATUS[0]}"),
                                                        program(QStringLiteral("Kavo.Update"))} + arguments);
        QVERIFY(shell.waitForFinished(20000));
        QCOMPARE(shell.readAllStandardOutput().trimmed(), QByteArray::number(read.exitCode()));
    }
};

QTEST_MAIN(tst_UpdaterCli)
#include "tst_updater_cli.moc"
