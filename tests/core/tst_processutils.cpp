#include "core/processutils.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// Copies of /bin/sleep under a program's name stand in for running instances.
class tst_ProcessUtils : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QProcess *startNamed(const QString &name)
    {
        const QString path = m_dir.filePath(name);
        if (!QFile::exists(path))
            QFile::copy(QStringLiteral("/bin/sleep"), path);
        auto *process = new QProcess(this);
        process->start(path, {QStringLiteral("60")});
        process->waitForStarted();
        return process;
    }

private slots:
    void findsAndEndsByNameIgnoringCase_data()
    {
        QTest::addColumn<QString>("exeName");
        QTest::addColumn<QString>("askedAs");
        QTest::newRow("same case") << "Kavo.Probe"
                                   << "Kavo.Probe";
        QTest::newRow("other case") << "Kavo.Probe2"
                                    << "kavo.probe2";
    }

    void findsAndEndsByNameIgnoringCase()
    {
        QFETCH(QString, exeName);
        QFETCH(QString, askedAs);
        QProcess *first = startNamed(exeName);
        QProcess *second = startNamed(exeName);
        QTRY_VERIFY(isProcessRunning(askedAs));
        QCOMPARE(processIdsByName(askedAs).size(), 2);
        QVERIFY(killProcessByName(askedAs));
        QVERIFY(first->waitForFinished(5000));
        QVERIFY(second->waitForFinished(5000));
        QVERIFY(!isProcessRunning(askedAs));
    }

    void ignoresTermGetsKilled()
    {
        const QString path = m_dir.filePath(QStringLiteral("Kavo.Stubborn"));
        QFile::copy(QStringLiteral("/bin/sh"), path);
        QProcess process;
        process.start(path, {QStringLiteral("-c"), QStringLiteral("trap '' TERM; while :; do sleep 0.1; done")});
        QVERIFY(process.waitForStarted());
        QTRY_VERIFY(isProcessRunning(QStringLiteral("Kavo.Stubborn")));
        QVERIFY(killProcessByName(QStringLiteral("Kavo.Stubborn")));
        QVERIFY(process.waitForFinished(5000));
        QCOMPARE(process.exitStatus(), QProcess::CrashExit);
    }

    void spareTheCaller()
    {
        const QString self = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
        QVERIFY(!isProcessRunning(self));
        QVERIFY(killProcessByName(self));
        QVERIFY(!isProcessRunning(QStringLiteral("no-such-program-here")));
        QVERIFY(killProcessByName(QStringLiteral("no-such-program-here")));
    }
};

QTEST_MAIN(tst_ProcessUtils)
#include "tst_processutils.moc"
