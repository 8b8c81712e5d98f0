#include <QProcess>
#include <QSharedMemory>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <unistd.h>

// The runner every test starts under: nothing a test starts outlives it, and a test that needs
// the server port fails at once, naming who holds it.
class tst_TestRun : public QObject
{
    Q_OBJECT

    static bool alive(qint64 pid)
    {
        // A reaped process has no /proc entry; a zombie no longer runs.
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            return false;
        const QByteArray text = stat.readAll();
        const int close = text.lastIndexOf(')');
        return close > 0 && text.mid(close + 2, 1) != "Z";
    }

    static qint64 waitForPid(const QString &file)
    {
        for (int i = 0; i < 200; ++i) {
            QFile f(file);
            if (f.open(QIODevice::ReadOnly)) {
                const qint64 pid = f.readAll().trimmed().toLongLong();
                if (pid > 0)
                    return pid;
            }
            QTest::qWait(25);
        }
        return 0;
    }

private slots:
    void leftoversEnd_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("crashed");
        // Each script leaves a sleeper running and writes its pid into $1.
        QTest::newRow("child, test passes") << "sleep 300 & echo $! > \"$1\"; exit 0" << 0 << false;
        QTest::newRow("child, test fails") << "sleep 300 & echo $! > \"$1\"; exit 3" << 3 << false;
        QTest::newRow("child, test crashes") << "sleep 300 & echo $! > \"$1\"; kill -SEGV $$" << 0 << true;
        QTest::newRow("detached in its own session, test crashes")
            << "setsid sh -c 'echo $$ > \"$0\"; exec sleep 300' \"$1\" & sleep 0.5; kill -ABRT $$" << 0 << true;
        QTest::newRow("child ignoring SIGTERM") << "sh -c 'trap \"\" TERM; echo $$ > \"$0\"; while :; do sleep 0.1; done' \"$1\" & sleep 0.5"
                                                << 0 << false;
    }

    void leftoversEnd()
    {
        QFETCH(QString, script);
        QFETCH(int, exitCode);
        QFETCH(bool, crashed);
        QTemporaryDir dir;
        const QString pidFile = dir.filePath(QStringLiteral("pid"));
        QProcess runner;
        runner.start(QStringLiteral(KAVO_TESTRUN), {QStringLiteral("/bin/sh"), QStringLiteral("-c"), script,
                                                    QStringLiteral("sh"), pidFile});
        QVERIFY(runner.waitForFinished(20000));
        QCOMPARE(runner.exitStatus() == QProcess::CrashExit, crashed);
        if (!crashed)
            QCOMPARE(runner.exitCode(), exitCode);
        const qint64 pid = waitForPid(pidFile);
        QVERIFY(pid > 0);
        QVERIFY2(!alive(pid), qPrintable(QStringLiteral("pid %1 outlived its test").arg(pid)));
    }

    // The sanitizers of the test and of every program it starts write their reports into the
    // folder given with --reports ($1 here); the runner fails the test on any of them.
    void sanitizerReportsFail_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QByteArray>("leftOver");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("printed");
        QTest::newRow("no report") << "exit 0" << QByteArray() << 0 << QString();
        QTest::newRow("the test's own report") << "echo 'ERROR: LeakSanitizer: detected memory leaks' > \"$1/asan.$$\""
                                               << QByteArray() << 1 << "LeakSanitizer: detected memory leaks";
        QTest::newRow("a child's report, test passes")
            << "sh -c 'echo \"runtime error: signed integer overflow\" > \"$0/ubsan.$$\"' \"$1\"; exit 0"
            << QByteArray() << 1 << "signed integer overflow";
        QTest::newRow("report and a failing test keep the test's code")
            << "echo 'ERROR: AddressSanitizer: heap-buffer-overflow' > \"$1/asan.$$\"; exit 3" << QByteArray() << 3
            << "heap-buffer-overflow";
        QTest::newRow("report of an earlier run") << "exit 0" << QByteArray("ERROR: AddressSanitizer: old") << 0 << QString();
        QTest::newRow("empty report file") << ": > \"$1/asan.$$\"; exit 0" << QByteArray() << 0 << QString();
    }

    void sanitizerReportsFail()
    {
        QFETCH(QString, script);
        QFETCH(QByteArray, leftOver);
        QFETCH(int, exitCode);
        QFETCH(QString, printed);
        QTemporaryDir dir;
        const QString reports = dir.filePath(QStringLiteral("reports"));
        if (!leftOver.isNull()) {
            QVERIFY(QDir().mkpath(reports));
            QFile old(reports + QStringLiteral("/asan.1"));
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write(leftOver);
        }
        QProcess runner;
        runner.start(QStringLiteral(KAVO_TESTRUN), {QStringLiteral("--reports"), reports, QStringLiteral("/bin/sh"),
                                                    QStringLiteral("-c"), script, QStringLiteral("sh"), reports});
        QVERIFY(runner.waitForFinished(20000));
        QCOMPARE(runner.exitStatus(), QProcess::NormalExit);
        const QString error = QString::fromUtf8(runner.readAllStandardError());
        QVERIFY2(runner.exitCode() == exitCode, qPrintable(error));
        if (printed.isEmpty()) {
            QVERIFY2(!error.contains(QStringLiteral("sanitizer report")), qPrintable(error));
        } else {
            QVERIFY2(error.contains(printed), qPrintable(error));
            QVERIFY2(error.contains(QStringLiteral("the test fails")), qPrintable(error));
        }
    }

    // With --isolate the test runs in a network, IPC and /tmp of its own: a port held here is
    // free there, the loopback works, and the files of this /tmp are not seen.
    void isolatedTest_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QByteArray>("output");
        QTest::newRow("port held outside is free") << "python3 -c 'import socket; s = socket.socket(); "
                                                      "s.bind((\"127.0.0.1\", 58899)); s.listen(); print(\"bound\")'"
                                                   << QByteArray("bound\n");
        QTest::newRow("loopback is up") << "python3 -c 'import socket; a = socket.socket(); a.bind((\"127.0.0.1\", 0)); "
                                           "a.listen(); socket.create_connection(a.getsockname()); print(\"connected\")'"
                                        << QByteArray("connected\n");
        QTest::newRow("/tmp starts empty") << "ls -A /tmp | wc -l" << QByteArray("0\n");
        QTest::newRow("shared memory starts empty") << "tail -n +2 /proc/sysvipc/shm | wc -l" << QByteArray("0\n");
    }

    void isolatedTest()
    {
        QFETCH(QString, script);
        QFETCH(QByteArray, output);
        if (::geteuid() != 0)
            QSKIP("only root may give a test namespaces of its own");
        // A chroot, or a container without the right, has none to give: the build found that out
        // and runs the tests that need port 58899 one at a time instead of isolated.
        if (!KAVO_ISOLATE_TESTS)
            QSKIP("this machine gives no process namespaces; no test is run isolated here");
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, 58899));
        QTemporaryDir here(QStringLiteral("/tmp/kavo-testrun-XXXXXX"));
        QVERIFY(here.isValid());
        QSharedMemory segment(QStringLiteral("kavo-testrun-isolation"));
        QVERIFY(segment.create(64));
        QProcess runner;
        runner.start(QStringLiteral(KAVO_TESTRUN), {QStringLiteral("--port"), QStringLiteral("58899"), QStringLiteral("--isolate"),
                                                    QStringLiteral("/bin/sh"), QStringLiteral("-c"), script});
        QVERIFY(runner.waitForFinished(20000));
        const QByteArray error = runner.readAllStandardError();
        QVERIFY2(runner.exitCode() == 0, error.constData());
        QCOMPARE(runner.readAllStandardOutput().trimmed() + '\n', output);
    }

    // ctest's timeout kills the runner; the test goes with it.
    void testDiesWithTheRunner()
    {
        QTemporaryDir dir;
        const QString pidFile = dir.filePath(QStringLiteral("pid"));
        QProcess runner;
        runner.start(QStringLiteral(KAVO_TESTRUN),
                     {QStringLiteral("/bin/sh"), QStringLiteral("-c"), QStringLiteral("echo $$ > \"$1\"; exec sleep 300"),
                      QStringLiteral("sh"), pidFile});
        const qint64 pid = waitForPid(pidFile);
        QVERIFY(pid > 0);
        QVERIFY(alive(pid));
        ::kill(pid_t(runner.processId()), SIGKILL);
        QVERIFY(runner.waitForFinished(5000));
        QTRY_VERIFY_WITH_TIMEOUT(!alive(pid), 5000);
    }

    void takenPortFailsAtOnce()
    {
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::LocalHost, 58899));
        QProcess runner;
        QElapsedTimer clock;
        clock.start();
        runner.start(QStringLiteral(KAVO_TESTRUN), {QStringLiteral("--port"), QStringLiteral("58899"),
                                                    QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                                                    QStringLiteral("echo ran")});
        QVERIFY(runner.waitForFinished(10000));
        QCOMPARE(runner.exitCode(), 1);
        QVERIFY(clock.elapsed() < 5000);
        QCOMPARE(runner.readAllStandardOutput(), QByteArray());
        const QString error = QString::fromUtf8(runner.readAllStandardError());
        QVERIFY2(error.contains(QStringLiteral("needs TCP port 58899")), qPrintable(error));
        QVERIFY2(error.contains(QStringLiteral("pid %1 ").arg(QCoreApplication::applicationPid())), qPrintable(error));

        holder.close();
        runner.start(QStringLiteral(KAVO_TESTRUN), {QStringLiteral("--port"), QStringLiteral("58899"),
                                                    QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                                                    QStringLiteral("echo ran")});
        QVERIFY(runner.waitForFinished(10000));
        QCOMPARE(runner.exitCode(), 0);
        QCOMPARE(runner.readAllStandardOutput(), QByteArray("ran\n"));
    }
};

QTEST_MAIN(tst_TestRun)
#include "tst_testrun.moc"
