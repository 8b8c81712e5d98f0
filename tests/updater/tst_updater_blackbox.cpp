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

    static QString dlDir(const QString &root) { return root + QStringLiteral("/data/update/Demo/5.0.0.1"); }

    static QStringList downloadArgs(const QString &packageUrl, const QString &version = QStringLiteral("5.0.0.1"))
    {
        return {QStringLiteral("-app"), QStringLiteral("Demo"), QStringLiteral("-beginUpdate"), packageUrl,
                QStringLiteral("-version"), version};
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
        QVERIFY(run(root.path() + QStringLiteral("/Kavo.Update"), downloadArgs(url("missing.zip")), {"KAVO_UPDATE_CONSENT=no"}));
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

    void failedCopyRollsBack()
    {
        QTemporaryDir root;
        const InstallationReaper reaper{root.path()};
        makeInstallation(root.path());
        // The package's file "zz-blocked" meets a directory of that name: it cannot be written.
        QVERIFY(writeFile(root.path() + QStringLiteral("/zz-blocked/inside"), "x"));
        downloadInto(root.path(), "blocked.zip");
        const QByteArray oldV5 = sha(root.path() + QStringLiteral("/Kavo.V5"));
        QVERIFY(run(dlDir(root.path()) + QStringLiteral("/tmp/Kavo.Update"),
                    {"-app", "Demo", "-version", "5.0.0.1", "-execUpdate"}));
        QCOMPARE(sha(root.path() + QStringLiteral("/Kavo.V5")), oldV5);
        QCOMPARE(fileVersion(root.path() + QStringLiteral("/Kavo.Update")), QStringLiteral("5.0.0.0"));
        QCOMPARE(readFile(root.path() + QStringLiteral("/data/Demo/update.txt")), QByteArray("old page"));
        QVERIFY(QFileInfo(root.path() + QStringLiteral("/zz-blocked/inside")).isFile());
        const QString lines = logLines(root.path()).join('|');
        QVERIFY2(lines.contains(QStringLiteral("ERROR 删除文件：zz-blocked失败!")), qPrintable(lines));
        QVERIFY2(lines.contains(QStringLiteral("INFO 升级失败, 升级结束!")), qPrintable(lines));
        QVERIFY(!lines.contains(QStringLiteral("升级成功")));
    }
};

QTEST_MAIN(tst_UpdaterBlackbox)
#include "tst_updater_blackbox.moc"
