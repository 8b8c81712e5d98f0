#include "core/inivariants.h"
#include "core/config.h"
#include "core/fileversion.h"
#include "updatefixture.h"

#include <QSettings>

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
    QTemporaryDir m_keys;
    QMap<QString, QString> m_publicKeys; // "A", "B": UpdatePublicKey of keys made by the script
    Nginx m_tlsNginx;                     // the same files over TLS, slowly enough to be cut off

    QString keyFile(const QString &name) const { return m_keys.filePath(name + QStringLiteral(".pem")); }

    void newKey(const QString &name)
    {
        QProcess p;
        p.start(qEnvironmentVariable("KAVO_SOURCE_DIR") + QStringLiteral("/scripts/make-update-package.sh"),
                {QStringLiteral("--new-key"), keyFile(name)});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 0);
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("^UpdatePublicKey=(\\S+)$"),
                                                             QRegularExpression::MultilineOption)
                                              .match(out);
        QVERIFY2(m.hasMatch(), qPrintable(out));
        m_publicKeys.insert(name, m.captured(1));
    }

    // Runs the packaging script; what it printed goes to said.
    static bool runPackager(const QStringList &arguments, QString *said)
    {
        QProcess script;
        script.start(qEnvironmentVariable("KAVO_SOURCE_DIR") + QStringLiteral("/scripts/make-update-package.sh"),
                     arguments);
        const bool finished = script.waitForFinished(120000);
        *said = QString::fromUtf8(script.readAllStandardOutput() + script.readAllStandardError());
        return finished && script.exitStatus() == QProcess::NormalExit && script.exitCode() == 0;
    }

    // Adds dir's entry (a file or a folder, with what it holds) to a zip archive, under its name.
    static bool addToZip(const QString &archive, const QString &dir, const QString &entry)
    {
        QProcess zip;
        zip.setWorkingDirectory(dir);
        zip.start(QStringLiteral("zip"), {QStringLiteral("-qr"), archive, entry});
        return zip.waitForFinished(60000) && zip.exitStatus() == QProcess::NormalExit && zip.exitCode() == 0;
    }

    // The names in a zip archive, as unzip lists them.
    static QStringList zipEntries(const QString &archive)
    {
        QProcess list;
        list.start(QStringLiteral("unzip"), {QStringLiteral("-Z1"), archive});
        list.waitForFinished(30000);
        return QString::fromUtf8(list.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    }

    // The installation's qt.conf names the key its packages must be signed with.
    static void setPublicKey(const QString &root, const QString &key)
    {
        QSettings settings(root + QStringLiteral("/qt.conf"), QSettings::IniFormat);
        IniVariants::useUtf8(settings);
        settings.setValue(QStringLiteral("Demo/UpdatePublicKey"), key);
        settings.sync();
        QCOMPARE(settings.status(), QSettings::NoError);
    }

    // Download mode, the consent declined; the exit code, with standard error kept in err.
    static int download(const QString &root, const QString &packageUrl, const QString &version,
                        QString *err = nullptr, const QStringList &env = {})
    {
        QProcess p;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("KAVO_UPDATE_CONSENT"), QStringLiteral("no"));
        e.remove(QStringLiteral("SSL_CERT_FILE"));
        for (const QString &kv : env)
            e.insert(kv.section('=', 0, 0), kv.section('=', 1));
        p.setProcessEnvironment(e);
        p.start(root + QStringLiteral("/Kavo.Update"), downloadArgs(packageUrl, version));
        if (!p.waitForFinished(120000))
            return -1;
        if (err)
            *err = QString::fromUtf8(p.readAllStandardError());
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }

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
        // A package that would write its own installation's journal into the update area (the
        // packaging script leaves that area out, so the entry is added by hand).
        QVERIFY(makePackage(m_served.path() + QStringLiteral("/intrusive.zip"), QStringLiteral("5.0.0.1"), overlay.path()));
        QTemporaryDir intrusive;
        QVERIFY(writeFile(intrusive.path() + QStringLiteral("/data/update/Demo/5.0.0.1/install.journal"),
                          "KavoInstallJournal 1\nstate installed\nversion 5.0.0.1\n"));
        QVERIFY(addToZip(m_served.path() + QStringLiteral("/intrusive.zip"), intrusive.path(), QStringLiteral("data")));
        // A package that carries a user's database and settings, and a starting database.
        QVERIFY(makePackage(m_served.path() + QStringLiteral("/userdata.zip"), QStringLiteral("5.0.0.1"), QString()));
        QTemporaryDir userData;
        QVERIFY(writeFile(userData.filePath(QStringLiteral("data/Demo/notes.db")), sqliteFile("packaged notes")));
        QVERIFY(writeFile(userData.filePath(QStringLiteral("data/Demo/start.db")), sqliteFile("starting data")));
        QVERIFY(writeFile(userData.filePath(QStringLiteral("data/user.conf")), "[Window]\npackaged=1\n"));
        QVERIFY(writeFile(userData.filePath(QStringLiteral("data/Demo/_pictures/picCache_1.png")), "packaged picture"));
        QVERIFY(writeFile(userData.filePath(QStringLiteral("data/Demo/fresh.db")), sqliteFile("packaged data")));
        QVERIFY(addToZip(m_served.path() + QStringLiteral("/userdata.zip"), userData.path(), QStringLiteral("data")));
        m_packageSha = sha(m_served.path() + QStringLiteral("/pkg.zip"));

        // Signed packages: made and signed by the script with key A; one also hands over to key B.
        newKey(QStringLiteral("A"));
        newKey(QStringLiteral("B"));
        const QString served = m_served.path() + QLatin1Char('/');
        QVERIFY(makePackage(served + QStringLiteral("signed.zip"), QStringLiteral("5.0.0.1"), overlay.path(),
                            {QStringLiteral("--sign"), keyFile(QStringLiteral("A"))}));
        QVERIFY(makePackage(served + QStringLiteral("rotating.zip"), QStringLiteral("5.0.0.1"), overlay.path(),
                            {QStringLiteral("--sign"), keyFile(QStringLiteral("A")), QStringLiteral("--rotate-key"),
                             keyFile(QStringLiteral("B"))}));
        QVERIFY(makePackage(served + QStringLiteral("bsigned.zip"), QStringLiteral("5.0.0.2"), overlay.path(),
                            {QStringLiteral("--sign"), keyFile(QStringLiteral("B"))}));
        QVERIFY(makePackage(served + QStringLiteral("older.zip"), QStringLiteral("4.9.0.0"), overlay.path(),
                            {QStringLiteral("--sign"), keyFile(QStringLiteral("A"))}));
        // Another application that shares the signing key.
        QTemporaryDir otherApp;
        QVERIFY(writeFile(otherApp.filePath(QStringLiteral("qt.conf")),
                          "[System]\nApp=Shop\n[Shop]\nVersion=1.0.0.0\nUrl=http://localhost:58899/\n"));
        QVERIFY(makePackage(served + QStringLiteral("otherapp.zip"), QStringLiteral("5.0.0.1"), otherApp.path(),
                            {QStringLiteral("--sign"), keyFile(QStringLiteral("A"))}));
        QByteArray tampered = readFile(served + QStringLiteral("signed.zip"));
        QVERIFY(tampered.size() > 1000);
        tampered[tampered.size() / 2] = char(tampered[tampered.size() / 2] ^ 0x20);
        QVERIFY(writeFile(served + QStringLiteral("tampered.zip"), tampered));
        QVERIFY(QFile::copy(served + QStringLiteral("signed.zip.sig"), served + QStringLiteral("tampered.zip.sig")));
        QVERIFY(QFile::copy(served + QStringLiteral("signed.zip"), served + QStringLiteral("unsigned.zip")));
        // A server answering the signature's address with a large page: read no further than a line.
        QVERIFY(QFile::copy(served + QStringLiteral("signed.zip"), served + QStringLiteral("hugesig.zip")));
        QVERIFY(writeFile(served + QStringLiteral("hugesig.zip.sig"),
                          readFile(served + QStringLiteral("signed.zip.sig")).trimmed() + QByteArray(200000, ' ')));
        QVERIFY(m_nginx.start(m_served.path()));

        // A certificate for 127.0.0.1 made here, trusted only where SSL_CERT_FILE names it.
        QProcess req;
        req.start(QStringLiteral("openssl"),
                  {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
                   "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                   m_keys.filePath("tls.key"), "-out", m_keys.filePath("tls.crt")});
        QVERIFY(req.waitForFinished(30000));
        QCOMPARE(req.exitCode(), 0);
        m_tlsNginx.setTls(m_keys.filePath("tls.crt"), m_keys.filePath("tls.key"));
        m_tlsNginx.setServerDirectives(QStringLiteral("limit_rate 1m;"));
        QVERIFY(m_tlsNginx.start(m_served.path()));
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
        // The application's Title, and the host the package came from.
        QVERIFY2(err.contains(QStringLiteral("升级:    \"卡沃演示应用\"新版本5.0.0.1已经下载完成, "
                                             "是否退出程序立即更新？更新完毕后将自动启动新版程序。"
                                             "（来自 127.0.0.1）")),
                 qPrintable(err));
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

        // Announced again with the package present: unpacked afresh and the user asked again; an
        // application without a Title is named by its App name.
        QVERIFY(setConf(root.path() + QStringLiteral("/qt.conf"), QStringLiteral("Demo/Title"), QString()));
        QProcess again;
        again.setProcessEnvironment(e);
        again.start(root.path() + QStringLiteral("/Kavo.Update"), downloadArgs(url("pkg.zip")));
        QVERIFY(again.waitForFinished(60000));
        QCOMPARE(again.exitCode(), 0);
        QVERIFY(QString::fromUtf8(again.readAllStandardError())
                    .contains(QStringLiteral("\"Demo\"新版本5.0.0.1已经下载完成")));
        QCOMPARE(logLines(root.path()).mid(6),
                 QStringList({QStringLiteral("INFO 启动Update下载进程成功!"), QStringLiteral("INFO 正在解压升级文件..."),
                              QStringLiteral("INFO 解压升级文件成功!"), QStringLiteral("INFO 退出Update下载进程！")}));
        QCOMPARE(sha(dlDir(root.path()) + QStringLiteral("/pkg.zip")), m_packageSha);
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
        // The exit code tells the main program why, so its pages hear of the failure.
        QCOMPARE(download(root.path(), url("missing.zip"), QStringLiteral("5.0.0.1")), 2);
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
        QTest::addColumn<int>("exitCode");
        QTest::newRow("parent version") << ".." << "pkg.zip" << 0;
        QTest::newRow("path in version") << "5.0.0.1/../../.." << "pkg.zip" << 0;
        QTest::newRow("letters") << "5.a" << "pkg.zip" << 0;
        QTest::newRow("empty part") << "5..1" << "pkg.zip" << 0;
        QTest::newRow("empty file name") << "5.0.0.1" << "" << 0;
        QTest::newRow("dot file name") << "5.0.0.1" << "." << 0;
        QTest::newRow("dot-dot file name") << "5.0.0.1" << ".." << 0;
        // No downgrade and no replay: the main program hears why from the exit code.
        QTest::newRow("older version") << "4.9.0.0" << "pkg.zip" << 6;
        QTest::newRow("running version") << "5.0.0.0" << "pkg.zip" << 6;
        QTest::newRow("version of other parts") << "5.1" << "pkg.zip" << 6;
    }

    void hostileInputChangesNothing()
    {
        QFETCH(QString, version);
        QFETCH(QString, name);
        QFETCH(int, exitCode);
        QTemporaryDir root;
        makeInstallation(root.path());
        QVERIFY(writeFile(root.path() + QStringLiteral("/data/update/Demo/keep.txt"), "keep"));
        const QStringList before = tree(root.path());
        QString err;
        QCOMPARE(download(root.path(), url(name), version, &err, {"KAVO_UPDATE_CONSENT=yes"}), exitCode);
        QVERIFY2(err.contains(QStringLiteral("Kavo.Update: refused: ")), qPrintable(err));
        QCOMPARE(tree(root.path()), before);
    }

    void signedPackages_data()
    {
        QTest::addColumn<QString>("key"); // a key name, a literal key text, or empty for none
        QTest::addColumn<QString>("package");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("logLine");
        QTest::newRow("right key") << "A" << "signed.zip" << 0 << "INFO 升级包签名校验成功!";
        QTest::newRow("other key") << "B" << "signed.zip" << 4 << "ERROR 升级包签名校验失败!";
        QTest::newRow("tampered byte") << "A" << "tampered.zip" << 4 << "ERROR 升级包签名校验失败!";
        QTest::newRow("missing .sig") << "A" << "unsigned.zip" << 3 << "ERROR 找不到升级包签名!";
        QTest::newRow("no key configured") << "" << "unsigned.zip" << 0 << "INFO 解压升级文件成功!";
        QTest::newRow("oversized .sig") << "A" << "hugesig.zip" << 4 << "ERROR 升级包签名校验失败!";
        QTest::newRow("key that is no key") << "bm90IGEga2V5" << "signed.zip" << 4 << "ERROR 升级包签名校验失败!";
        // Signed with the right key, but not what was announced: refused once unpacked, before any question.
        QTest::newRow("older package announced as newer")
            << "A" << "older.zip" << 7 << "ERROR 升级包与公布的应用或版本不符: 升级包为 \"Demo\" 4.9.0.0, 公布的是 \"Demo\" 5.0.0.1";
        QTest::newRow("another application's package")
            << "A" << "otherapp.zip" << 7 << "ERROR 升级包与公布的应用或版本不符: 升级包为 \"Shop\" 5.0.0.1, 公布的是 \"Demo\" 5.0.0.1";
    }

    void signedPackages()
    {
        QFETCH(QString, key);
        QFETCH(QString, package);
        QFETCH(int, exitCode);
        QFETCH(QString, logLine);
        QTemporaryDir root;
        makeInstallation(root.path());
        if (!key.isEmpty())
            setPublicKey(root.path(), m_publicKeys.value(key, key));
        QString err;
        QCOMPARE(download(root.path(), url(package), QStringLiteral("5.0.0.1"), &err), exitCode);
        const QStringList lines = logLines(root.path());
        QVERIFY2(lines.contains(logLine), qPrintable(lines.join('|')));
        const QString dir = dlDir(root.path());
        if (exitCode == 0) {
            QVERIFY(err.contains(QStringLiteral("新版本5.0.0.1已经下载完成")));
            QCOMPARE(fileVersion(dir + QStringLiteral("/tmp/Kavo.V5")), QStringLiteral("5.0.0.1"));
            return;
        }
        // Refused: nothing kept that a later start could install, and nothing unpacked unless
        // the refusal came from the unpacked qt.conf (exit code 7).
        QVERIFY(!err.contains(QStringLiteral("已经下载完成")));
        QVERIFY2(!lines.contains(QStringLiteral("INFO 正在解压升级文件...")) || exitCode == 7, qPrintable(lines.join('|')));
        QCOMPARE(QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{QStringLiteral("log.elf")});
    }

    // The package is replaced or altered on disk after its check, while the updater stands
    // stopped before unpacking it: what is unpacked is what was checked, or nothing.
    void packageChangedAfterItsCheck_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("another package renamed over it") << "renamed" << 0;
        QTest::newRow("grown in place") << "appended" << 5;
    }

    void packageChangedAfterItsCheck()
    {
        QFETCH(QString, change);
        QFETCH(int, exitCode);
        QTemporaryDir root;
        makeInstallation(root.path());
        setPublicKey(root.path(), m_publicKeys.value(QStringLiteral("A")));
        const QString dir = dlDir(root.path());
        const QString package = dir + QStringLiteral("/signed.zip");
        QProcess p;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("KAVO_UPDATE_CONSENT"), QStringLiteral("no"));
        e.insert(QStringLiteral("KAVO_TEST_STOP_AT"), QStringLiteral("unpack"));
        p.setProcessEnvironment(e);
        p.start(root.path() + QStringLiteral("/Kavo.Update"), downloadArgs(url("signed.zip")));
        QVERIFY(p.waitForStarted());
        const QString stat = QStringLiteral("/proc/%1/stat").arg(p.processId());
        // Stopped: the state after the command's closing parenthesis is "T".
        QTRY_VERIFY_WITH_TIMEOUT(readFile(stat).mid(readFile(stat).lastIndexOf(')') + 2, 1) == "T", 60000);
        if (change == QLatin1String("renamed")) {
            // Signed too, but another version: only the check of the unpacked tree would see it.
            QVERIFY(QFile::copy(m_served.filePath(QStringLiteral("older.zip")), package + QStringLiteral(".new")));
            QVERIFY(::rename(QFile::encodeName(package + QStringLiteral(".new")).constData(),
                             QFile::encodeName(package).constData()) == 0);
        } else {
            QFile file(package);
            QVERIFY(file.open(QIODevice::Append));
            QVERIFY(file.write("appended") == 8);
        }
        ::kill(pid_t(p.processId()), SIGCONT);
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), exitCode);
        const QStringList lines = logLines(root.path());
        if (exitCode == 0) {
            // The checked bytes were unpacked and recorded; the file now in their place is not
            // them, and no later start unpacks it.
            QCOMPARE(fileVersion(dir + QStringLiteral("/tmp/Kavo.V5")), QStringLiteral("5.0.0.1"));
            const QByteArray checked = sha(m_served.filePath(QStringLiteral("signed.zip")));
            QCOMPARE(readFile(dir + QStringLiteral("/package.sha256")), checked.toHex() + "  signed.zip\n");
            QVERIFY(sha(package) != checked);
            return;
        }
        QVERIFY2(lines.contains(QStringLiteral("ERROR 升级文件在校验后被改动, 已丢弃!")), qPrintable(lines.join('|')));
        QCOMPARE(QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{QStringLiteral("log.elf")});
    }

    // A package signed with the old key carries the new one in its qt.conf: once installed,
    // only packages signed with the new key are taken.
    void keyRotatedByPackage()
    {
        QTemporaryDir root;
        const InstallationReaper reaper{root.path()};
        makeInstallation(root.path());
        setPublicKey(root.path(), m_publicKeys.value(QStringLiteral("A")));
        QCOMPARE(download(root.path(), url("bsigned.zip"), QStringLiteral("5.0.0.1")), 4);
        QCOMPARE(download(root.path(), url("rotating.zip"), QStringLiteral("5.0.0.1")), 0);
        QVERIFY(run(dlDir(root.path()) + QStringLiteral("/tmp/Kavo.Update"),
                    {"-app", "Demo", "-version", "5.0.0.1", "-execUpdate"}));
        QCOMPARE(fileVersion(root.path() + QStringLiteral("/Kavo.Update")), QStringLiteral("5.0.0.1"));
        QCOMPARE(readUpdatePublicKey(root.path() + QStringLiteral("/qt.conf"), QStringLiteral("Demo")),
                 m_publicKeys.value(QStringLiteral("B")));
        const QString installLog = logLines(root.path()).join('|');
        QVERIFY2(installLog.contains(QStringLiteral("INFO 开始执行更新...")), qPrintable(installLog));
        QVERIFY2(!installLog.contains(QStringLiteral("WARN 安装未签名的升级包")), qPrintable(installLog));
        killProcessByName(Kavo::mainExecutableName(), root.path());

        const QString next = root.path() + QStringLiteral("/data/update/Demo/5.0.0.2");
        QCOMPARE(download(root.path(), url("signed.zip"), QStringLiteral("5.0.0.2")), 4);
        QVERIFY(!QFileInfo::exists(next + QStringLiteral("/tmp")));
        QCOMPARE(download(root.path(), url("bsigned.zip"), QStringLiteral("5.0.0.2")), 0);
        QCOMPARE(fileVersion(next + QStringLiteral("/tmp/Kavo.V5")), QStringLiteral("5.0.0.2"));
    }

    void httpsDownload_data()
    {
        QTest::addColumn<bool>("trusted");
        QTest::addColumn<int>("cutOffBy"); // the signal that ends a first run part-way, or 0
        QTest::addColumn<int>("exitCode");
        QTest::newRow("trusted certificate") << true << 0 << 0;
        QTest::newRow("trusted, resumed after a kill") << true << int(SIGKILL) << 0;
        // Ended from outside (a logout, the user): not a crash, the download goes on next time.
        QTest::newRow("trusted, resumed after SIGTERM") << true << int(SIGTERM) << 0;
        QTest::newRow("untrusted certificate") << false << 0 << 2;
    }

    void httpsDownload()
    {
        QFETCH(bool, trusted);
        QFETCH(int, cutOffBy);
        QFETCH(int, exitCode);
        const bool cutOff = cutOffBy != 0;
        QTemporaryDir root;
        makeInstallation(root.path());
        setPublicKey(root.path(), m_publicKeys.value(QStringLiteral("A")));
        const QString packageUrl = m_tlsNginx.url(QStringLiteral("signed.zip"));
        QVERIFY(packageUrl.startsWith(QStringLiteral("https://")));
        const QStringList env{trusted ? QStringLiteral("SSL_CERT_FILE=") + m_keys.filePath("tls.crt") : QString()};
        const QString dir = dlDir(root.path());
        if (cutOff) {
            QProcess p;
            QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
            e.insert(QStringLiteral("SSL_CERT_FILE"), m_keys.filePath("tls.crt"));
            p.setProcessEnvironment(e);
            p.start(root.path() + QStringLiteral("/Kavo.Update"), downloadArgs(packageUrl));
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(dir + QStringLiteral("/signed.zip.lrdl")).exists(), 30000);
            QTest::qWait(1500);
            QCOMPARE(p.state(), QProcess::Running);
            ::kill(pid_t(p.processId()), cutOffBy);
            QVERIFY(p.waitForFinished(10000));
            QVERIFY(QFileInfo(dir + QStringLiteral("/signed.zip.lrdl")).exists());
        }
        QCOMPARE(download(root.path(), packageUrl, QStringLiteral("5.0.0.1"), nullptr,
                          trusted ? env : QStringList()),
                 exitCode);
        const QStringList lines = logLines(root.path());
        if (cutOff)
            QVERIFY2(lines.contains(QStringLiteral("INFO 任务已存在继续下载!")), qPrintable(lines.join('|')));
        if (exitCode != 0) {
            QVERIFY2(lines.contains(QStringLiteral("FATAL 下载失败!")), qPrintable(lines.join('|')));
            QVERIFY(!QFileInfo::exists(dir + QStringLiteral("/tmp")));
            QVERIFY(!QFileInfo::exists(dir + QStringLiteral("/signed.zip")));
            return;
        }
        QCOMPARE(sha(dir + QStringLiteral("/signed.zip")), sha(m_served.path() + QStringLiteral("/signed.zip")));
        QVERIFY2(lines.contains(QStringLiteral("INFO 升级包签名校验成功!")), qPrintable(lines.join('|')));
        QCOMPARE(fileVersion(dir + QStringLiteral("/tmp/Kavo.V5")), QStringLiteral("5.0.0.1"));
    }

    // Made from an installation in use, a package holds what the application ships and none of
    // the user's state; a new key replaces the one its qt.conf carries.
    void packageFromInstallationInUseHoldsNoUserState()
    {
        QTemporaryDir root;
        QVERIFY(UpdateFixture::makeInstallation(root.path(), true));
        setPublicKey(root.path(), m_publicKeys.value(QStringLiteral("A")));
        const QString r = root.path() + QLatin1Char('/');
        QVERIFY(run(QStringLiteral("sqlite3"), {r + "data/demo.db", "create table notes(t); insert into notes values('mine');"}));
        QVERIFY(run(QStringLiteral("sqlite3"), {r + "data/Demo/shop.sqlite", "create table t(a);"}));
        QVERIFY(writeFile(r + "data/Demo/shop.sqlite-journal", "journal"));
        QVERIFY(writeFile(r + "data/user.conf", "[Demo]\nWidth=900\n"));
        QVERIFY(writeFile(r + "cookies.ini", "[cookies]\n"));
        QVERIFY(writeFile(r + "data/Demo/_pictures/picCache_1.png", "picture"));
        QVERIFY(writeFile(r + "data/update/Demo/5.0.0.1/log.elf", "log"));
        QVERIFY(writeFile(r + "data/update/Demo/5.0.0.1/pkg.zip", "package"));
        QVERIFY(writeFile(r + "log.elf", "log"));
        QVERIFY(QFile::copy(m_served.path() + QStringLiteral("/pkg.zip"), r + "update-5.0.0.1.zip"));
        QVERIFY(writeFile(r + "update-5.0.0.1.zip.sig", "sig"));

        QTemporaryDir out;
        const QString package = out.filePath(QStringLiteral("next.zip"));
        QString said;
        QVERIFY2(runPackager({root.path(), QStringLiteral("5.0.0.2"), package, QStringLiteral("--rotate-key"),
                              keyFile(QStringLiteral("B"))},
                             &said),
                 qPrintable(said));
        QStringList entries = zipEntries(package);
        entries.removeAll(QStringLiteral("data/"));
        entries.removeAll(QStringLiteral("data/Demo/"));
        entries.sort();
        const QStringList shipped{QStringLiteral("Kavo.Update"), QStringLiteral("Kavo.V5"), QStringLiteral("data.zip"),
                                  QStringLiteral("data/Demo/icon.png"), QStringLiteral("data/Demo/splash.png"),
                                  QStringLiteral("qt.conf")};
        QCOMPARE(entries, shipped);
        // It says what it packed and what it left out.
        for (const QString &entry : shipped)
            QVERIFY2(said.contains(QStringLiteral("packing ") + entry + QLatin1Char('\n')), qPrintable(said));
        for (const char *left : {"data/demo.db (client database)", "data/Demo/shop.sqlite (client database)",
                                 "data/user.conf (user settings)", "update-5.0.0.1.zip (earlier update package)",
                                 "data/Demo/_pictures/picCache_1.png (picture cache)"})
            QVERIFY2(said.contains(QStringLiteral("leaving out ") + QLatin1String(left)), qPrintable(said));

        QTemporaryDir unpacked;
        QVERIFY(run(QStringLiteral("unzip"), {QStringLiteral("-q"), package, QStringLiteral("-d"), unpacked.path()}));
        const QString conf = QString::fromUtf8(readFile(unpacked.filePath(QStringLiteral("qt.conf"))));
        QCOMPARE(conf.count(QStringLiteral("UpdatePublicKey=")), 1);
        QCOMPARE(readUpdatePublicKey(unpacked.filePath(QStringLiteral("qt.conf")), QStringLiteral("Demo")),
                 m_publicKeys.value(QStringLiteral("B")));
        QCOMPARE(fileVersion(unpacked.filePath(QStringLiteral("Kavo.V5"))), QStringLiteral("5.0.0.2"));
    }

    // An application folder run in place, laid over the package: its pages and starting database
    // go in, what the program wrote there while the developer tried it does not.
    void overlayInUseAddsNoUserState()
    {
        QTemporaryDir app;
        const QString a = app.path() + QLatin1Char('/');
        QVERIFY(QFile::copy(binDir() + QStringLiteral("/qt.conf"), a + "qt.conf"));
        QVERIFY(writeFile(a + "data/Demo/page.html", "<p>new</p>"));
        QVERIFY(run(QStringLiteral("sqlite3"), {a + "data/start.db", "create table notes(t);"}));
        const QStringList state{"data/start.db-wal", "data/user.conf", "cookies.ini", "log.elf",
                                "data/Demo/_pictures/picCache_1.png", "data/update/Demo/5.0.0.1/log.elf",
                                "data/update/Demo/5.0.0.1/update.rdl"};
        for (const QString &rel : state)
            QVERIFY(writeFile(a + rel, "the developer's state"));

        QTemporaryDir out;
        const QString package = out.filePath(QStringLiteral("next.zip"));
        QString said;
        QVERIFY2(runPackager({binDir(), QStringLiteral("5.0.0.2"), package, QStringLiteral("--overlay"), app.path()},
                             &said),
                 qPrintable(said));
        const QStringList entries = zipEntries(package);
        for (const char *shipped : {"data/Demo/page.html", "data/start.db", "qt.conf", "Kavo.V5"})
            QVERIFY2(entries.contains(QLatin1String(shipped)), shipped);
        for (const QString &rel : state) {
            QVERIFY2(!entries.contains(rel), qPrintable(rel));
            QVERIFY2(said.contains(QStringLiteral("leaving out ") + rel), qPrintable(said));
        }
    }

    // The package's qt.conf carries the package's version in the application's group, however
    // the overlay's file was written; other groups keep theirs.
    void packageStampsItsVersion_data()
    {
        QTest::addColumn<QByteArray>("conf");
        QTest::addColumn<QString>("otherVersion");
        QTest::newRow("blanks around the equals sign")
            << QByteArray("[System]\nApp = Demo\n\n[Demo]\nVersion = 5.0.0.0\nUrl = http://x/\n") << QString();
        QTest::newRow("another application's group")
            << QByteArray("[System]\nApp=Demo\n[Shop]\nVersion=2.1.0.0\n[Demo]\nVersion=5.0.0.0\nUrl=http://x/\n")
            << QStringLiteral("2.1.0.0");
    }

    void packageStampsItsVersion()
    {
        QFETCH(QByteArray, conf);
        QFETCH(QString, otherVersion);
        QTemporaryDir overlay;
        QVERIFY(writeFile(overlay.filePath(QStringLiteral("qt.conf")), conf));
        QTemporaryDir out;
        const QString package = out.filePath(QStringLiteral("next.zip"));
        QVERIFY(makePackage(package, QStringLiteral("5.0.0.2"), overlay.path()));
        QVERIFY(run(QStringLiteral("unzip"), {QStringLiteral("-q"), package, QStringLiteral("qt.conf"), QStringLiteral("-d"),
                                              out.path()}));
        QSettings packed(out.filePath(QStringLiteral("qt.conf")), QSettings::IniFormat);
        QCOMPARE(packed.value(QStringLiteral("System/App")).toString(), QStringLiteral("Demo"));
        QCOMPARE(packed.value(QStringLiteral("Demo/Version")).toString(), QStringLiteral("5.0.0.2"));
        QCOMPARE(packed.value(QStringLiteral("Shop/Version")).toString(), otherVersion);
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
        // Without UpdatePublicKey the installation takes unsigned packages, and says so each time.
        QCOMPARE(
            lines,
            QStringList({QStringLiteral("INFO 启动Update下载进程成功!"), QStringLiteral("INFO 开始执行更新..."),
                         QStringLiteral("WARN 安装未签名的升级包: qt.conf 中没有 UpdatePublicKey, 升级包未经签名校验!"),
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

    void packageIntoTheUpdateAreaIsRefused()
    {
        QTemporaryDir root;
        const InstallationReaper reaper{root.path()};
        makeInstallation(root.path());
        downloadInto(root.path(), "intrusive.zip");
        const QByteArray oldV5 = sha(root.path() + QStringLiteral("/Kavo.V5"));
        QVERIFY(run(dlDir(root.path()) + QStringLiteral("/tmp/Kavo.Update"),
                    {"-app", "Demo", "-version", "5.0.0.1", "-execUpdate"}));
        QCOMPARE(sha(root.path() + QStringLiteral("/Kavo.V5")), oldV5);
        QCOMPARE(readFile(root.path() + QStringLiteral("/data/Demo/update.txt")), QByteArray("old page"));
        QVERIFY(!QFileInfo::exists(dlDir(root.path()) + QStringLiteral("/install.journal")));
        const QString lines = logLines(root.path()).join('|');
        QVERIFY2(lines.contains(QStringLiteral("ERROR 升级包不能写入升级目录: data/update/Demo/5.0.0.1/install.journal")),
                 qPrintable(lines));
        QVERIFY2(lines.contains(QStringLiteral("INFO 升级失败, 升级结束!")), qPrintable(lines));
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
        // The picture cache, and a database the program has just created and not written yet.
        QVERIFY(writeFile(root.path() + QStringLiteral("/data/Demo/_pictures/picCache_1.png"), "cached picture"));
        QVERIFY(writeFile(root.path() + QStringLiteral("/data/Demo/fresh.db"), QByteArray()));
        downloadInto(root.path(), "userdata.zip");
        QVERIFY(run(dlDir(root.path()) + QStringLiteral("/tmp/Kavo.Update"),
                    {"-app", "Demo", "-version", "5.0.0.1", "-execUpdate"}));
        QCOMPARE(fileVersion(root.path() + QStringLiteral("/Kavo.V5")), QStringLiteral("5.0.0.1"));
        QCOMPARE(readFile(root.path() + QStringLiteral("/data/Demo/notes.db")), notes);
        QCOMPARE(readFile(root.path() + QStringLiteral("/data/user.conf")), settings);
        QCOMPARE(readFile(root.path() + QStringLiteral("/data/Demo/_pictures/picCache_1.png")), QByteArray("cached picture"));
        QVERIFY(QFileInfo::exists(root.path() + QStringLiteral("/data/Demo/fresh.db")));
        QCOMPARE(readFile(root.path() + QStringLiteral("/data/Demo/fresh.db")), QByteArray());
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
