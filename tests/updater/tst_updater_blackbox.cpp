#include "core/fileversion.h"
#include "updatefixture.h"

#include <QElapsedTimer>

#include <csignal>

using namespace UpdateFixture;

// The built Kavo.Update run in temporary installations copied from the build output, against a
// package made by scripts/make-update-package.sh and served by nginx on loopback.
class tst_UpdaterBlackbox : public QObject
{
    Q_OBJECT

    QTemporaryDir m_served;
    Nginx m_nginx;
    QByteArray m_packageSha;

    QString url(const QString &name) const { return m_nginx.url(name); }

    // A runnable installation: both programs, qt.conf and an old demo page.
    static void makeInstallation(const QString &root)
    {
        QVERIFY(UpdateFixture::makeInstallation(root));
        QVERIFY(writeFile(root + QStringLiteral("/data/Demo/update.txt"), "old page"));
    }

    // Begins with the 16-byte header by which a SQLite database is known.
    static QByteArray sqliteFile(const QByteArray &body) { return QByteArray("SQLite format 3\0", 16) + body; }

    static QString dlDir(const QString &root) { return root + QStringLiteral("/data/update/Demo/5.0.0.1"); }

    static QStringList downloadArgs(const QString &packageUrl, const QString &version = QStringLiteral("5.0.0.1"))
    {
        return {QStringLiteral("-app"), QStringLiteral("Demo"), QStringLiteral("-beginUpdate"), packageUrl,
                QStringLiteral("-version"), version};
    }

    // Runs a program that is to kill itself at the named point; true when it did.
    static bool killedAt(const QString &program, const QStringList &args, const QString &point)
    {
        QProcess p;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("KAVO_TEST_KILL_AT"), point);
        p.setProcessEnvironment(e);
        p.start(program, args);
        return p.waitForFinished(120000) && p.exitStatus() == QProcess::CrashExit;
    }

    static QStringList logLines(const QString &root)
    {
        return UpdateFixture::logLines(dlDir(root) + QStringLiteral("/log.elf"));
    }

    // Download mode to the end, the consent declined: the package and "tmp" stay for later.
    void downloadInto(const QString &root, const QString &name)
    {
        QVERIFY(run(root + QStringLiteral("/Kavo.Update"), downloadArgs(url(name)), {"KAVO_UPDATE_CONSENT=no"}));
        QVERIFY(QFileInfo::exists(dlDir(root) + QStringLiteral("/tmp/Kavo.Update")));
    }

private slots:
    void initTestCase()
    {
        QTemporaryDir overlay;
        QVERIFY(writeFile(overlay.path() + QStringLiteral("/data/Demo/update.txt"), "new page"));
        QVERIFY(makePackage(m_served.path() + QStringLiteral("/pkg.zip"), QStringLiteral("5.0.0.1"), overlay.path()));
        // A package with a file where the installation holds a directory: it cannot be installed.
        QTemporaryDir blocked;
        QVERIFY(writeFile(blocked.path() + QStringLiteral("/data/Demo/update.txt"), "new page"));
        QVERIFY(writeFile(blocked.path() + QStringLiteral("/zz-blocked"), "a file"));
        QVERIFY(makePackage(m_served.path() + QStringLiteral("/blocked.zip"), QStringLiteral("5.0.0.1"), blocked.path()));
        // A package that carries a user's database and settings, and a starting database.
        QVERIFY(makePackage(m_served.path() + QStringLiteral("/userdata.zip"), QStringLiteral("5.0.0.1"), QString()));
        QTemporaryDir userData;
        QVERIFY(writeFile(userData.filePath(QStringLiteral("data/Demo/notes.db")), sqliteFile("packaged notes")));
        QVERIFY(writeFile(userData.filePath(QStringLiteral("data/Demo/start.db")), sqliteFile("starting data")));
        QVERIFY(writeFile(userData.filePath(QStringLiteral("data/user.conf")), "[Window]\npackaged=1\n"));
        QProcess zip;
        zip.setWorkingDirectory(userData.path());
        zip.start(QStringLiteral("zip"), {"-qr", m_served.path() + QStringLiteral("/userdata.zip"), "data"});
        QVERIFY(zip.waitForFinished(60000) && zip.exitCode() == 0);
        m_packageSha = sha(m_served.path() + QStringLiteral("/pkg.zip"));
        QVERIFY(m_nginx.start(m_served.path()));
    }

    void downloadUnpacksAndAsks()
    {
        QTemporaryDir root;
        makeInstallation(root.path());
        QProcess p;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("KAVO_UPDATE_CONSENT", "no");
        p.setProcessEnvironment(e);
        p.start(root.path() + QStringLiteral("/Kavo.Update"), downloadArgs(url("pkg.zip")));
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitCode(), 0);
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QVERIFY2(err.contains(QStringLiteral("升级:    \"Demo\"新版本5.0.0.1已经下载完成, 是否退出程序立即更新？更新完毕后将自动启动新版程序。")), qPrintable(err));
        QCOMPARE(sha(dlDir(root.path()) + QStringLiteral("/pkg.zip")), m_packageSha);
        QCOMPARE(fileVersion(dlDir(root.path()) + QStringLiteral("/tmp/Kavo.V5")), QStringLiteral("5.0.0.1"));
        QCOMPARE(readFile(dlDir(root.path()) + QStringLiteral("/tmp/data/Demo/update.txt")), QByteArray("new page"));
        const QStringList expected{QStringLiteral("INFO 启动Update下载进程成功!"), QStringLiteral("INFO 开始下载!"),
                                   QStringLiteral("INFO 下载成功!"), QStringLiteral("     Url:") + url("pkg.zip"),
                                   QStringLiteral("INFO 正在解压升级文件..."), QStringLiteral("INFO 解压升级文件成功!"),
                                   QStringLiteral("INFO 退出Update下载进程！")};
        const QString log = QString::fromUtf8(readFile(dlDir(root.path()) + QStringLiteral("/log.elf")));
        QStringList lines = logLines(root.path());
        lines.insert(3, QStringLiteral("     Url:") + url("pkg.zip"));
        QCOMPARE(lines, expected);
        QVERIFY(log.contains(QStringLiteral("INFO  - 下载成功!\n     Url:") + url("pkg.zip") + '\n'));

        // A second run with the package present only starts and ends.
        QVERIFY(run(root.path() + QStringLiteral("/Kavo.Update"), downloadArgs(url("pkg.zip")), {"KAVO_UPDATE_CONSENT=no"}));
        QCOMPARE(logLines(root.path()).mid(6), QStringList({QStringLiteral("INFO 启动Update下载进程成功!"), QStringLiteral("INFO 退出Update下载进程！")}));
    }

    void resumesAfterKill()
    {
        QTemporaryDir root;
        makeInstallation(root.path());
        const QString partial = dlDir(root.path()) + QStringLiteral("/pkg.zip.lrdl");
        int kills = 0;
        for (int round = 0; round < 4; ++round) {
            QProcess p;
            QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
            e.insert("KAVO_UPDATE_CONSENT", "no");
            p.setProcessEnvironment(e);
            p.start(root.path() + QStringLiteral("/Kavo.Update"), downloadArgs(url("pkg.zip")));
            QVERIFY(p.waitForStarted());
            // Killed a little later each round, once the download has begun.
            QElapsedTimer t;
            t.start();
            while (!QFileInfo::exists(partial) && p.state() == QProcess::Running && t.elapsed() < 20000)
                QTest::qWait(1);
            QTest::qWait(round * 15);
            if (p.state() == QProcess::Running) {
                ::kill(pid_t(p.processId()), SIGKILL);
                ++kills;
            }
            p.waitForFinished(10000);
        }
        QVERIFY(run(root.path() + QStringLiteral("/Kavo.Update"), downloadArgs(url("pkg.zip")), {"KAVO_UPDATE_CONSENT=no"}));
        QVERIFY(kills > 0);
        QCOMPARE(sha(dlDir(root.path()) + QStringLiteral("/pkg.zip")), m_packageSha);
        QVERIFY(!QFileInfo::exists(partial));
    }

    void partialWithoutLogStartsFresh()
    {
        QTemporaryDir root;
        makeInstallation(root.path());
        QVERIFY(writeFile(dlDir(root.path()) + QStringLiteral("/pkg.zip.lrdl"), QByteArray(1000, 'x')));
        downloadInto(root.path(), "pkg.zip");
        QCOMPARE(sha(dlDir(root.path()) + QStringLiteral("/pkg.zip")), m_packageSha);
    }

    void failedDownloadKeepsNothingHalfInstalled()
    {
        QTemporaryDir root;
        makeInstallation(root.path());
        // What a kill between writing the task log beside it and renaming it leaves behind.
        QVERIFY(writeFile(dlDir(root.path()) + QStringLiteral("/update.rdl.part"), "<?xml"));
        QVERIFY(run(root.path() + QStringLiteral("/Kavo.Update"), downloadArgs(url("missing.zip")), {"KAVO_UPDATE_CONSENT=no"}));
        QVERIFY(!QFileInfo::exists(dlDir(root.path()) + QStringLiteral("/update.rdl.part")));
        const QStringList lines = logLines(root.path());
        QVERIFY2(lines.join('|').contains(QStringLiteral("FATAL 下载失败!")), qPrintable(lines.join('|')));
        QVERIFY(!QFileInfo::exists(dlDir(root.path()) + QStringLiteral("/tmp")));
        QVERIFY(!QFileInfo::exists(dlDir(root.path()) + QStringLiteral("/missing.zip")));
    }

    void hostileInputChangesNothing_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("name");
        QTest::newRow("parent version") << ".." << "pkg.zip";
        QTest::newRow("path in version") << "5.0.0.1/../../.." << "pkg.zip";
        QTest::newRow("letters") << "5.a" << "pkg.zip";
        QTest::newRow("empty part") << "5..1" << "pkg.zip";
        QTest::newRow("empty file name") << "5.0.0.1" << "";
        QTest::newRow("dot file name") << "5.0.0.1" << ".";
        QTest::newRow("dot-dot file name") << "5.0.0.1" << "..";
    }

    void hostileInputChangesNothing()
    {
        QFETCH(QString, version);
        QFETCH(QString, name);
        QTemporaryDir root;
        makeInstallation(root.path());
        QVERIFY(writeFile(root.path() + QStringLiteral("/data/update/Demo/keep.txt"), "keep"));
        const QStringList before = tree(root.path());
        QVERIFY(run(root.path() + QStringLiteral("/Kavo.Update"), downloadArgs(url(name), version), {"KAVO_UPDATE_CONSENT=yes"}));
        QCOMPARE(tree(root.path()), before);
    }

    void executeInstallsAndRestarts()
    {
        QTemporaryDir root;
        const InstallationReaper reaper{root.path()};
        makeInstallation(root.path());
        downloadInto(root.path(), "pkg.zip");
        QCOMPARE(fileVersion(root.path() + QStringLiteral("/Kavo.V5")), QStringLiteral("5.0.0.0"));
        QVERIFY(run(dlDir(root.path()) + QStringLiteral("/tmp/Kavo.Update"),
                    {"-app", "Demo", "-version", "5.0.0.1", "-execUpdate"}));
        QCOMPARE(fileVersion(root.path() + QStringLiteral("/Kavo.V5")), QStringLiteral("5.0.0.1"));
        QCOMPARE(fileVersion(root.path() + QStringLiteral("/Kavo.Update")), QStringLiteral("5.0.0.1"));
        QCOMPARE(readFile(root.path() + QStringLiteral("/data/Demo/update.txt")), QByteArray("new page"));
        QVERIFY(!QFileInfo::exists(dlDir(root.path()) + QStringLiteral("/tmp")));
        QVERIFY(!QFileInfo::exists(dlDir(root.path()) + QStringLiteral("/pkg.zip")));
        QVERIFY(!QFileInfo::exists(dlDir(root.path()) + QStringLiteral("/update.rdl")));
        QVERIFY(!QFileInfo::exists(dlDir(root.path()) + QStringLiteral("/backup")));
        const QStringList lines = logLines(root.path()).mid(6);
        QCOMPARE(lines, QStringList({QStringLiteral("INFO 启动Update下载进程成功!"), QStringLiteral("INFO 开始执行更新..."),
                                     QStringLiteral("INFO 开始拷贝升级文件..."), QStringLiteral("INFO 拷贝升级文件结束."),
                                     QStringLiteral("INFO 升级成功,升级结束!"), QStringLiteral("INFO 退出Update下载进程！")}));
    }

    void failedCopyRollsBack_data()
    {
        QTest::addColumn<QString>("killAt"); // where an earlier run of the installer was killed
        QTest::newRow("not killed") << QString();
        QTest::newRow("killed before a file") << QStringLiteral("copy:2");
        QTest::newRow("killed with an original moved aside") << QStringLiteral("aside:3");
        QTest::newRow("killed during its own rollback") << QStringLiteral("rollback:1");
    }

    void failedCopyRollsBack()
    {
        QFETCH(QString, killAt);
        QTemporaryDir root;
        const InstallationReaper reaper{root.path()};
        makeInstallation(root.path());
        // The package's file "zz-blocked" meets a directory of that name: it cannot be written.
        QVERIFY(writeFile(root.path() + QStringLiteral("/zz-blocked/inside"), "x"));
        downloadInto(root.path(), "blocked.zip");
        const QByteArray oldV5 = sha(root.path() + QStringLiteral("/Kavo.V5"));
        const QStringList execArgs{"-app", "Demo", "-version", "5.0.0.1", "-execUpdate"};
        const QString installer = dlDir(root.path()) + QStringLiteral("/tmp/Kavo.Update");
        if (!killAt.isEmpty()) {
            QVERIFY(killedAt(installer, execArgs, killAt));
            QVERIFY(QFileInfo::exists(dlDir(root.path()) + QStringLiteral("/install.journal")));
        }
        // The next start repairs what the kill left, tries again and meets the same wall.
        QVERIFY(run(installer, execArgs));
        QCOMPARE(sha(root.path() + QStringLiteral("/Kavo.V5")), oldV5);
        QCOMPARE(fileVersion(root.path() + QStringLiteral("/Kavo.Update")), QStringLiteral("5.0.0.0"));
        QCOMPARE(readFile(root.path() + QStringLiteral("/data/Demo/update.txt")), QByteArray("old page"));
        QVERIFY(QFileInfo(root.path() + QStringLiteral("/zz-blocked/inside")).isFile());
        // Files only the package has are gone again.
        QVERIFY(!QFileInfo::exists(root.path() + QStringLiteral("/data.zip")));
        const QString lines = logLines(root.path()).join('|');
        QVERIFY2(lines.contains(QStringLiteral("ERROR 删除文件：zz-blocked失败!")), qPrintable(lines));
        QVERIFY2(lines.contains(QStringLiteral("INFO 升级失败, 升级结束!")), qPrintable(lines));
        QVERIFY(!lines.contains(QStringLiteral("升级成功")));
    }

    void userDataIsNeverReplaced()
    {
        QTemporaryDir root;
        const InstallationReaper reaper{root.path()};
        makeInstallation(root.path());
        const QByteArray notes = sqliteFile("the user's notes");
        const QByteArray settings = "[Window]\nuser=1\n";
        QVERIFY(writeFile(root.path() + QStringLiteral("/data/Demo/notes.db"), notes));
        QVERIFY(writeFile(root.path() + QStringLiteral("/data/user.conf"), settings));
        downloadInto(root.path(), "userdata.zip");
        QVERIFY(run(dlDir(root.path()) + QStringLiteral("/tmp/Kavo.Update"),
                    {"-app", "Demo", "-version", "5.0.0.1", "-execUpdate"}));
        QCOMPARE(fileVersion(root.path() + QStringLiteral("/Kavo.V5")), QStringLiteral("5.0.0.1"));
        QCOMPARE(readFile(root.path() + QStringLiteral("/data/Demo/notes.db")), notes);
        QCOMPARE(readFile(root.path() + QStringLiteral("/data/user.conf")), settings);
        // Where the installation has none, the package's database is the starting one.
        QCOMPARE(readFile(root.path() + QStringLiteral("/data/Demo/start.db")), sqliteFile("starting data"));
        const QStringList lines = logLines(root.path());
        QVERIFY2(lines.contains(QStringLiteral("INFO 保留用户数据: data/Demo/notes.db")), qPrintable(lines.join('|')));
        QVERIFY2(lines.contains(QStringLiteral("INFO 保留用户数据: data/user.conf")), qPrintable(lines.join('|')));
    }

    // A rollback that cannot put an original back keeps every backup and the journal, says so,
    // and is finished by a later start once the obstacle is gone.
    void failedRollbackKeepsBackups()
    {
        QTemporaryDir root;
        const InstallationReaper reaper{root.path()};
        makeInstallation(root.path());
        downloadInto(root.path(), "pkg.zip");
        const QByteArray oldUpdater = sha(root.path() + QStringLiteral("/Kavo.Update"));
        const QByteArray oldV5 = sha(root.path() + QStringLiteral("/Kavo.V5"));
        const QString installer = dlDir(root.path()) + QStringLiteral("/tmp/Kavo.Update");
        const QStringList execArgs{"-app", "Demo", "-version", "5.0.0.1", "-execUpdate"};
        // Killed with the updater replaced and the old main program moved aside.
        QVERIFY(killedAt(installer, execArgs, QStringLiteral("aside:1")));
        const QString backup = dlDir(root.path()) + QStringLiteral("/backup/Kavo.Update");
        QCOMPARE(sha(backup), oldUpdater);
        // Something now stands where the original has to go back.
        QVERIFY(QFile::remove(root.path() + QStringLiteral("/Kavo.Update")));
        QVERIFY(writeFile(root.path() + QStringLiteral("/Kavo.Update/in-the-way"), "x"));
        QVERIFY(run(installer, execArgs));
        const QString log = logLines(root.path()).join('|');
        QVERIFY2(log.contains(QStringLiteral("ERROR 恢复原文件失败! 备份保留在: ") + dlDir(root.path()) + QStringLiteral("/backup")),
                 qPrintable(log));
        QCOMPARE(sha(backup), oldUpdater);
        QVERIFY(QFileInfo::exists(dlDir(root.path()) + QStringLiteral("/install.journal")));
        // The main program's start-up (the old one, restarted) must not discard them either.
        QTRY_VERIFY_WITH_TIMEOUT(!isProcessRunning(Kavo::mainExecutableName(), root.path()), 30000);
        QCOMPARE(sha(backup), oldUpdater);

        QVERIFY(QDir(root.path() + QStringLiteral("/Kavo.Update")).removeRecursively());
        QProcess main;
        main.start(root.path() + QStringLiteral("/Kavo.V5"), QStringList());
        QVERIFY(main.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(dlDir(root.path()) + QStringLiteral("/install.journal")), 30000);
        main.kill();
        main.waitForFinished(10000);
        QCOMPARE(sha(root.path() + QStringLiteral("/Kavo.Update")), oldUpdater);
        QCOMPARE(sha(root.path() + QStringLiteral("/Kavo.V5")), oldV5);
        QVERIFY(!QFileInfo::exists(dlDir(root.path()) + QStringLiteral("/backup")));
    }
};

QTEST_MAIN(tst_UpdaterBlackbox)
#include "tst_updater_blackbox.moc"
