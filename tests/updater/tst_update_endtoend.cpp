#include "core/fileversion.h"
#include "download/downloadtasklog.h"
#include "updatefixture.h"

#include <QElapsedTimer>
#include <QSettings>

#include <csignal>

using namespace UpdateFixture;

// The whole road of a self-update with the real programs: the main program's page announces
// version 5.0.0.1, the updater downloads it from nginx, the main program is replaced, and the
// new one tells its page. The page (a test page written into the installation beside the
// demo's) reports the event it hears by loading an address on this test's own loopback server.
class tst_UpdateEndToEnd : public QObject
{
    Q_OBJECT

    QTemporaryDir m_served;
    Nginx m_nginx;
    QTcpServer m_reports;
    QStringList m_requests;
    QString m_pageUrl;

    static QString dlDir(const QString &root) { return root + QStringLiteral("/data/update/Demo/5.0.0.1"); }
    QString packageUrl() const { return m_nginx.url(QStringLiteral("pkg.zip")); }
    // The task log a download of the package leaves in the download directory.
    bool writeTaskLog(const QString &dir) const
    {
        DownloadTaskLog log(dir + QStringLiteral("/update.rdl"));
        DownloadTaskInfo task;
        task.url = packageUrl();
        task.savePath = dir + QStringLiteral("/pkg.zip");
        return log.addTask(task) && QDir().mkpath(dir) && log.save();
    }


    // An installation of version 5.0.0.0 whose window opens the page that announces the update.
    void install(const QString &root)
    {
        QVERIFY(makeInstallation(root, true));
        QVERIFY(writeAutoUpdatePage(root, packageUrl(), m_reports.serverPort()));
        QVERIFY(writeFile(root + QStringLiteral("/data/Demo/update.txt"), "old page"));
        QVERIFY(setConf(root + QStringLiteral("/qt.conf"), QStringLiteral("Demo/Url"), m_pageUrl));
    }

    bool reported(const QString &query) const
    {
        return m_requests.contains(QStringLiteral("GET /end?") + query + QStringLiteral(" HTTP/1.1"));
    }

    // The main program with every descendant's output in one file: the updater and the program
    // it restarts inherit it, and a file never breaks when the first reader is gone.
    static QProcess *startMain(const QString &root, const QString &output, const QStringList &env = {})
    {
        auto *process = new QProcess;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("KAVO_TRACE_STARTUP"), QStringLiteral("1"));
        for (const QString &kv : env)
            e.insert(kv.section('=', 0, 0), kv.section('=', 1));
        process->setProcessEnvironment(e);
        process->setStandardOutputFile(output);
        process->setStandardErrorFile(output);
        process->start(root + QLatin1Char('/') + Kavo::mainExecutableName(), QStringList());
        return process;
    }

    static void stop(QProcess *process)
    {
        if (process->state() != QProcess::NotRunning) {
            process->terminate();
            if (!process->waitForFinished(10000)) {
                process->kill();
                process->waitForFinished(5000);
            }
        }
        delete process;
    }

    void checkInstalled(const QString &root, const QString &output)
    {
        QVERIFY2(reported(QStringLiteral("success=true&version=5.0.0.1")),
                 qPrintable(m_requests.join('|') + QLatin1Char('\n') + QString::fromUtf8(readFile(output))));
        QCOMPARE(fileVersion(root + QLatin1Char('/') + Kavo::mainExecutableName()), QStringLiteral("5.0.0.1"));
        QCOMPARE(fileVersion(root + QLatin1Char('/') + Kavo::updaterExecutableName()), QStringLiteral("5.0.0.1"));
        QCOMPARE(readFile(root + QStringLiteral("/data/Demo/update.txt")), QByteArray("new page"));
        QSettings conf(root + QStringLiteral("/qt.conf"), QSettings::IniFormat);
        QCOMPARE(conf.value(QStringLiteral("Demo/Version")).toString(), QStringLiteral("5.0.0.1"));
        for (const char *gone : {"tmp", "pkg.zip", "update.rdl"})
            QVERIFY2(!QFileInfo::exists(dlDir(root) + QLatin1Char('/') + QLatin1String(gone)), gone);
        const QStringList lines = logLines(dlDir(root) + QStringLiteral("/log.elf"));
        QVERIFY2(lines.contains(QStringLiteral("INFO 升级成功,升级结束!")), qPrintable(lines.join('|')));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_reports.listen(QHostAddress::LocalHost));
        recordRequestLines(m_reports, m_requests);
        QVERIFY(m_nginx.start(m_served.path()));

        m_pageUrl = autoUpdatePageUrl();

        // The new version opens the same page and carries a changed file.
        QTemporaryDir overlay;
        QVERIFY(writeOverlayConf(overlay.path(), m_pageUrl));
        QVERIFY(writeFile(overlay.filePath(QStringLiteral("data/Demo/update.txt")), "new page"));
        QVERIFY(makePackage(m_served.filePath(QStringLiteral("pkg.zip")), QStringLiteral("5.0.0.1"), overlay.path()));
        Nginx::makeReadable(m_served.path());
    }

    void cleanup() { m_requests.clear(); }

    void pageAnnouncedUpdateIsInstalledAndReported()
    {
        QTemporaryDir root;
        QTemporaryDir logs;
        const InstallationReaper reaper{root.path()};
        install(root.path());
        const QString output = logs.filePath(QStringLiteral("main.log"));
        QProcess *first = startMain(root.path(), output, {QStringLiteral("KAVO_UPDATE_CONSENT=yes")});
        QVERIFY(first->waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(!m_requests.isEmpty(), 120000);
        // The first program was ended by the installing updater, not by this test.
        QVERIFY(first->state() == QProcess::NotRunning || first->waitForFinished(10000));
        stop(first);
        checkInstalled(root.path(), output);
        const QStringList lines = logLines(dlDir(root.path()) + QStringLiteral("/log.elf"));
        QCOMPARE(lines.mid(0, 3), QStringList({QStringLiteral("INFO 准备升级"), QStringLiteral("INFO 准备下载新版本：5.0.0.1"),
                                               QStringLiteral("INFO 启动Update下载进程成功!")}));
        // The updater's consent prompt went through the main program's output.
        QVERIFY(QString::fromUtf8(readFile(output)).contains(QStringLiteral("新版本5.0.0.1已经下载完成")));
    }

    void startUpResumesEarlierDownload()
    {
        QTemporaryDir root;
        QTemporaryDir logs;
        const InstallationReaper reaper{root.path()};
        install(root.path());
        // An earlier run downloaded and unpacked the package; the user did not install it then.
        QVERIFY(run(root.path() + QLatin1Char('/') + Kavo::updaterExecutableName(),
                    {"-app", "Demo", "-beginUpdate", packageUrl(), "-version", "5.0.0.1"}, {"KAVO_UPDATE_CONSENT=no"}));
        QVERIFY(QFileInfo::exists(dlDir(root.path()) + QStringLiteral("/tmp")));
        // A kill during that unpacking would have left a partial tree: it is unpacked afresh.
        QVERIFY(QFile::remove(dlDir(root.path()) + QStringLiteral("/tmp/") + Kavo::mainExecutableName()));

        const QString output = logs.filePath(QStringLiteral("main.log"));
        QProcess *first = startMain(root.path(), output);
        QVERIFY(first->waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(!m_requests.isEmpty(), 60000);
        QVERIFY(first->state() == QProcess::NotRunning || first->waitForFinished(10000));
        stop(first);
        checkInstalled(root.path(), output);
        // No window was opened by the first start: only the restarted program loaded the page.
        const QString text = QString::fromUtf8(readFile(output));
        QCOMPARE(text.count(QStringLiteral("KAVO_STARTUP server")), 1);
    }

    void startUpLeavesIncompleteDownloadAlone()
    {
        QTemporaryDir root;
        QTemporaryDir logs;
        const InstallationReaper reaper{root.path()};
        QVERIFY(makeInstallation(root.path(), true));
        const QString dir = dlDir(root.path());
        QVERIFY(writeTaskLog(dir));
        QVERIFY(writeFile(dir + QStringLiteral("/pkg.zip.lrdl"), QByteArray(4096, 'x')));
        const QStringList before = tree(dir);

        const QString output = logs.filePath(QStringLiteral("main.log"));
        QProcess *main = startMain(root.path(), output);
        QTRY_VERIFY_WITH_TIMEOUT(readFile(output).contains("KAVO_STARTUP loaded") || main->state() == QProcess::NotRunning,
                                 30000);
        QCOMPARE(main->state(), QProcess::Running);
        QVERIFY(!isProcessRunning(Kavo::updaterExecutableName(), root.path()));
        QCOMPARE(tree(dir), before);
        stop(main);
    }

    // Start-up hands over to the installing updater and opens no window; should that updater
    // end without ending the main program, the main program must not linger without a window.
    void installingUpdaterEndsWithoutEndingMain_data()
    {
        QTest::addColumn<QByteArray>("behaviour");
        QTest::addColumn<bool>("killedByTest");
        QTest::newRow("stopped") << QByteArray("exec sleep 60\n") << true;
        QTest::newRow("ends") << QByteArray("sleep 2\nexit 0\n") << false;
        QTest::newRow("fails") << QByteArray("sleep 2\nexit 3\n") << false;
        QTest::newRow("crashes") << QByteArray("sleep 2\nkill -SEGV $$\n") << false;
    }

    void installingUpdaterEndsWithoutEndingMain()
    {
        QFETCH(QByteArray, behaviour);
        QFETCH(bool, killedByTest);
        QTemporaryDir root;
        QTemporaryDir logs;
        const InstallationReaper reaper{root.path()};
        QVERIFY(makeInstallation(root.path(), true));
        const QString dir = dlDir(root.path());
        QVERIFY(writeTaskLog(dir));
        // A package the updater checked and unpacked earlier: it holds the stand-in installer,
        // and its record beside it says so.
        QTemporaryDir stage;
        const QString updater = stage.filePath(Kavo::updaterExecutableName());
        QVERIFY(writeFile(updater, "#!/bin/sh\necho $$ > \"$(dirname \"$0\")/../pid\"\n" + behaviour));
        QVERIFY(QFile::setPermissions(updater, QFile::permissions(updater) | QFileDevice::ExeOwner));
        QVERIFY(run(QStringLiteral("zip"), {QStringLiteral("-qj"), dir + QStringLiteral("/pkg.zip"), updater}));
        QVERIFY(writeFile(dir + QStringLiteral("/package.sha256"),
                          sha(dir + QStringLiteral("/pkg.zip")).toHex() + "  pkg.zip\n"));

        const QString output = logs.filePath(QStringLiteral("main.log"));
        QProcess *main = startMain(root.path(), output);
        QVERIFY(main->waitForStarted());
        if (killedByTest) {
            QTRY_VERIFY_WITH_TIMEOUT(!readFile(dir + QStringLiteral("/pid")).isEmpty(), 20000);
            // Past its first second, so start-up has handed over.
            QTest::qWait(1500);
            QVERIFY2(main->state() == QProcess::Running,
                     qPrintable(QStringLiteral("ended with %1: ").arg(main->exitCode()) + QString::fromUtf8(readFile(output))
                                + QString::fromUtf8(readFile(dir + QStringLiteral("/log.elf")))));
            ::kill(pid_t(readFile(dir + QStringLiteral("/pid")).trimmed().toInt()), SIGKILL);
        }
        QVERIFY(main->waitForFinished(30000));
        QCOMPARE(main->exitStatus(), QProcess::NormalExit);
        QCOMPARE(main->exitCode(), 255);
        delete main;
        const QString text = QString::fromUtf8(readFile(output));
        QVERIFY2(text.contains(QStringLiteral("the installing updater ended without ending this program")), qPrintable(text));
        QVERIFY2(!text.contains(QStringLiteral("KAVO_STARTUP server")), qPrintable(text));
    }

    // The page hears a failed update from the running program: here the server does not have
    // the package. The program keeps running.
    void demoPageHearsFailedUpdate()
    {
        QTemporaryDir root;
        QTemporaryDir logs;
        const InstallationReaper reaper{root.path()};
        QVERIFY(makeInstallation(root.path(), true));
        QVERIFY(writeAutoUpdatePage(root.path(), m_nginx.url(QStringLiteral("missing.zip")), m_reports.serverPort()));
        QVERIFY(setConf(root.path() + QStringLiteral("/qt.conf"), QStringLiteral("Demo/Url"), m_pageUrl));
        const QString output = logs.filePath(QStringLiteral("main.log"));
        QProcess *main = startMain(root.path(), output);
        QVERIFY(main->waitForStarted());
        // Start, page, download attempts and their failure: minutes under a sanitizer on a busy machine.
        QTRY_VERIFY_WITH_TIMEOUT(!m_requests.isEmpty(), 180000);
        const QString request = QUrl::fromPercentEncoding(m_requests.first().toUtf8());
        QVERIFY2(request.startsWith(QStringLiteral("GET /end?error=升级包下载失败!&success=false&version=5.0.0.1 ")),
                 qPrintable(request + QLatin1Char('\n') + QString::fromUtf8(readFile(output))));
        QCOMPARE(main->state(), QProcess::Running);
        stop(main);
    }
};

QTEST_MAIN(tst_UpdateEndToEnd)
#include "tst_update_endtoend.moc"
