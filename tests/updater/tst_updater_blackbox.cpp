#include "bridge/appnames.h"
#include "bridge/processutils.h"
#include "bridge/fileversion.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

// The built Kavo.Update run in temporary installations copied from the build output, against a
// package made by scripts/make-update-package.sh and served by nginx on loopback.
// The updater restarts the installation's main program detached; it must not outlive the test
// and keep the server port from later tests.
struct RestartedProgramReaper
{
    QString root;
    ~RestartedProgramReaper() { killProcessByName(Kavo::mainExecutableName(), root); }
};

class tst_UpdaterBlackbox : public QObject
{
    Q_OBJECT

    QTemporaryDir m_served;
    QTemporaryDir m_nginxDir;
    QProcess m_nginx;
    quint16 m_port = 0;
    QByteArray m_packageSha;

    static QString binDir() { return qEnvironmentVariable("KAVO_BIN_DIR"); }

    QString url(const QString &name) const { return QStringLiteral("http://127.0.0.1:%1/%2").arg(m_port).arg(name); }

    static bool run(const QString &program, const QStringList &args, const QStringList &env = {})
    {
        QProcess p;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        for (const QString &kv : env)
            e.insert(kv.section('=', 0, 0), kv.section('=', 1));
        p.setProcessEnvironment(e);
        p.start(program, args);
        return p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }

    static bool makePackage(const QString &out, const QString &version, const QString &overlay)
    {
        QStringList args{binDir(), version, out};
        if (!overlay.isEmpty())
            args << QStringLiteral("--overlay") << overlay;
        return run(qEnvironmentVariable("KAVO_SOURCE_DIR") + QStringLiteral("/scripts/make-update-package.sh"), args);
    }

    static void writeFile(const QString &path, const QByteArray &data)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(data);
    }

    static QByteArray readFile(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    static QByteArray sha(const QString &path) { return QCryptographicHash::hash(readFile(path), QCryptographicHash::Sha256); }

    // A runnable installation: both programs, qt.conf and an old demo page.
    static void makeInstallation(const QString &root)
    {
        for (const QString &name : {QStringLiteral("Kavo.V5"), QStringLiteral("Kavo.Update"), QStringLiteral("qt.conf")}) {
            QVERIFY(QFile::copy(binDir() + '/' + name, root + '/' + name));
        }
        writeFile(root + QStringLiteral("/data/Demo/update.txt"), "old page");
    }

    static QStringList tree(const QString &root)
    {
        QStringList entries;
        QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            entries << it.next();
        entries.sort();
        return entries;
    }

    static QString dlDir(const QString &root) { return root + QStringLiteral("/data/update/Demo/5.0.0.1"); }

    static QStringList downloadArgs(const QString &packageUrl, const QString &version = QStringLiteral("5.0.0.1"))
    {
        return {QStringLiteral("-app"), QStringLiteral("Demo"), QStringLiteral("-beginUpdate"), packageUrl,
                QStringLiteral("-version"), version};
    }

    static QStringList logLines(const QString &root)
    {
        QStringList messages;
        const QString text = QString::fromUtf8(readFile(dlDir(root) + QStringLiteral("/log.elf")));
        static const QRegularExpression record(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d,\\d{3} \\[ThreadID: \\d+\\] (\\w+)  - (.*)$"));
        for (const QString &line : text.split('\n')) {
            const auto m = record.match(line);
            if (m.hasMatch())
                messages << m.captured(1) + QLatin1Char(' ') + m.captured(2);
        }
        return messages;
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
        // nginx's workers run as another user: everything served must be readable by them.
        QFile::setPermissions(m_served.path(), QFileDevice::Permissions(0x7755));
        QTemporaryDir overlay;
        writeFile(overlay.path() + QStringLiteral("/data/Demo/update.txt"), "new page");
        QVERIFY(makePackage(m_served.path() + QStringLiteral("/pkg.zip"), QStringLiteral("5.0.0.1"), overlay.path()));
        // A package with a file where the installation holds a directory: it cannot be installed.
        QTemporaryDir blocked;
        writeFile(blocked.path() + QStringLiteral("/data/Demo/update.txt"), "new page");
        writeFile(blocked.path() + QStringLiteral("/zz-blocked"), "a file");
        QVERIFY(makePackage(m_served.path() + QStringLiteral("/blocked.zip"), QStringLiteral("5.0.0.1"), blocked.path()));
        for (const QString &f : QDir(m_served.path()).entryList(QDir::Files))
            QFile::setPermissions(m_served.path() + '/' + f, QFileDevice::Permissions(0x6644));
        m_packageSha = sha(m_served.path() + QStringLiteral("/pkg.zip"));

        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        m_port = probe.serverPort();
        probe.close();
        const QString conf = m_nginxDir.filePath(QStringLiteral("nginx.conf"));
        writeFile(conf, QStringLiteral("daemon off; pid %1/nginx.pid; error_log %1/error.log;\n"
                                       "events {}\nhttp { access_log off; client_body_temp_path %1;\n"
                                       "server { listen 127.0.0.1:%2; root %3; } }\n")
                            .arg(m_nginxDir.path()).arg(m_port).arg(m_served.path()).toUtf8());
        m_nginx.start(QStringLiteral("nginx"), {"-p", m_nginxDir.path(), "-c", conf});
        QVERIFY(m_nginx.waitForStarted());
        bool up = false;
        for (int i = 0; i < 100 && !up; ++i) {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, m_port);
            up = s.waitForConnected(100);
            if (!up)
                QTest::qWait(50);
        }
        QVERIFY(up);
    }

    void cleanupTestCase()
    {
        m_nginx.terminate();
        m_nginx.waitForFinished(3000);
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
        writeFile(dlDir(root.path()) + QStringLiteral("/pkg.zip.lrdl"), QByteArray(1000, 'x'));
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
        writeFile(root.path() + QStringLiteral("/data/update/Demo/keep.txt"), "keep");
        const QStringList before = tree(root.path());
        QVERIFY(run(root.path() + QStringLiteral("/Kavo.Update"), downloadArgs(url(name), version), {"KAVO_UPDATE_CONSENT=yes"}));
        QCOMPARE(tree(root.path()), before);
    }

    void executeInstallsAndRestarts()
    {
        QTemporaryDir root;
        const RestartedProgramReaper reaper{root.path()};
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
        const RestartedProgramReaper reaper{root.path()};
        makeInstallation(root.path());
        // The package's file "zz-blocked" meets a directory of that name: it cannot be written.
        writeFile(root.path() + QStringLiteral("/zz-blocked/inside"), "x");
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
