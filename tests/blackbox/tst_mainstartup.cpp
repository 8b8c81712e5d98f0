#include "tests/copytree.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

// Runs copies of the built main program as an installation in a temporary directory.
class tst_MainStartup : public QObject
{
    Q_OBJECT

    static QString built(const QString &name)
    {
        return qEnvironmentVariable("KAVO_BIN_DIR") + QLatin1Char('/') + name;
    }

    // A fresh installation: both programs, qt.conf, the demo package and its pictures.
    static QString install(QTemporaryDir &dir)
    {
        const QString root = dir.path();
        for (const char *name : {"Kavo.V5", "Kavo.Update", "qt.conf", "data.zip"}) {
            if (!QFile::copy(built(QLatin1String(name)), root + QLatin1Char('/') + QLatin1String(name)))
                return QString();
        }
        if (!copyTree(built(QStringLiteral("data/Demo")), root + QStringLiteral("/data/Demo")))
            return QString();
        return root;
    }

    static bool stamp(const QString &file, const QByteArray &version)
    {
        QByteArray field = version;
        field.append(QByteArray(64 - field.size(), '\0'));
        QFile out(file + QStringLiteral(".field"));
        if (!out.open(QIODevice::WriteOnly))
            return false;
        out.write(field);
        out.close();
        return QProcess::execute(QStringLiteral("objcopy"),
                                 {QStringLiteral("--update-section"),
                                  QStringLiteral(".kavo_version=") + out.fileName(), file})
            == 0;
    }

    // Every program started here; whatever still runs after a test function is stopped.
    QList<QProcess *> m_processes;

    QProcess *start(const QString &root, const QStringList &arguments = QStringList(),
                    const QList<QPair<QString, QString>> &extraEnv = {})
    {
        auto *process = new QProcess(this);
        m_processes.append(process);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KAVO_TRACE_STARTUP"), QStringLiteral("1"));
        for (const auto &entry : extraEnv)
            env.insert(entry.first, entry.second);
        process->setProcessEnvironment(env);
        process->setProcessChannelMode(QProcess::SeparateChannels);
        process->start(root + QStringLiteral("/Kavo.V5"), arguments);
        return process;
    }

    // Waits until the first page has loaded; the text read so far stays in stderrText.
    static bool waitForLoadedPage(QProcess *process, QByteArray *stderrText)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 30000) {
            process->waitForReadyRead(200);
            stderrText->append(process->readAllStandardError());
            if (stderrText->contains("KAVO_STARTUP loaded"))
                return true;
            if (process->state() == QProcess::NotRunning)
                return false;
        }
        return false;
    }

    void stop(QProcess *process)
    {
        m_processes.removeOne(process);
        if (process->state() != QProcess::NotRunning) {
            process->terminate();
            if (!process->waitForFinished(10000)) {
                process->kill();
                process->waitForFinished(5000);
            }
        }
        delete process;
    }

    QStringList runToEnd(const QString &root, int *exitCode)
    {
        QProcess *process = start(root);
        if (!process->waitForFinished(30000)) {
            process->kill();
            process->waitForFinished();
            *exitCode = -1000;
            return QStringList();
        }
        *exitCode = process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -2000;
        const QStringList lines = QString::fromUtf8(process->readAllStandardError()).split(QLatin1Char('\n'));
        stop(process);
        return lines;
    }

    static QByteArray fetch(const QString &url)
    {
        QNetworkAccessManager manager;
        QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(url)));
        QSignalSpy finished(reply, &QNetworkReply::finished);
        finished.wait(10000);
        const QByteArray body = reply->error() == QNetworkReply::NoError ? reply->readAll() : QByteArray();
        delete reply;
        return body;
    }

private slots:
    void cleanup()
    {
        while (!m_processes.isEmpty())
            stop(m_processes.first());
    }

    void brokenInstallationRefusesToStart_data()
    {
        QTest::addColumn<QString>("breakage");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("opensVendorSite");
        QTest::newRow("qt.conf missing") << "no-qtconf" << "错误: 读取配置文件出错!" << false;
        QTest::newRow("qt.conf without version") << "no-version" << "错误: 读取配置文件出错!" << false;
        QTest::newRow("qt.conf without application") << "no-app" << "错误: 读取配置文件出错!" << false;
        QTest::newRow("updater missing")
            << "no-updater" << "错误: 找不到Update.exe.您的程序运行环境已损害,请重新下载安装!" << true;
        QTest::newRow("updater without version")
            << "unversioned-updater"
            << "错误: 亲，您的软件版本太低，不能正确进行自动升级，请您重新下载并安装最新版本哦。" << true;
    }

    void brokenInstallationRefusesToStart()
    {
        QFETCH(QString, breakage);
        QFETCH(QString, message);
        QFETCH(bool, opensVendorSite);
        QTemporaryDir dir;
        const QString root = install(dir);
        QVERIFY(!root.isEmpty());
        const QString conf = root + QStringLiteral("/qt.conf");
        const QString updater = root + QStringLiteral("/Kavo.Update");
        const auto removeKey = [&conf](const QString &key) {
            QSettings settings(conf, QSettings::IniFormat);
            settings.remove(key);
        };
        if (breakage == QLatin1String("no-qtconf"))
            QVERIFY(QFile::remove(conf));
        else if (breakage == QLatin1String("no-version"))
            removeKey(QStringLiteral("Demo/Version"));
        else if (breakage == QLatin1String("no-app"))
            removeKey(QStringLiteral("System/App"));
        else if (breakage == QLatin1String("no-updater"))
            QVERIFY(QFile::remove(updater));
        else if (breakage == QLatin1String("unversioned-updater"))
            QVERIFY(QFile::remove(updater) && QFile::copy(QStringLiteral("/bin/true"), updater));

        int exitCode = 0;
        const QStringList lines = runToEnd(root, &exitCode);
        QCOMPARE(exitCode, 255);
        QVERIFY2(lines.contains(message), qPrintable(lines.join(QLatin1Char('|'))));
        const bool opened = lines.filter(QStringLiteral("openUrl: ")).size() == 1;
        QCOMPARE(opened, opensVendorSite);
        QVERIFY(lines.filter(QStringLiteral("KAVO_STARTUP init")).isEmpty());
    }

    void secondStartIsRefusedWhileFirstKeepsServing()
    {
        QTemporaryDir dir;
        const QString root = install(dir);
        QVERIFY(!root.isEmpty());
        QProcess *first = start(root);
        QByteArray firstErr;
        QVERIFY2(waitForLoadedPage(first, &firstErr), firstErr.constData());

        int exitCode = 0;
        const QStringList lines = runToEnd(root, &exitCode);
        QCOMPARE(exitCode, 255);
        QVERIFY2(lines.contains(QStringLiteral("系统提示: 卡沃演示应用已经在运行")), qPrintable(lines.join('|')));

        QCOMPARE(first->state(), QProcess::Running);
        const QByteArray page = fetch(QStringLiteral("http://127.0.0.1:58899/data/Demo/index.html"));
        QVERIFY2(page.contains("卡沃演示应用"), page.constData());
        stop(first);
    }

    void startAfterKilledInstanceSucceeds()
    {
        QTemporaryDir dir;
        const QString root = install(dir);
        QVERIFY(!root.isEmpty());
        QProcess *first = start(root);
        QByteArray err;
        QVERIFY2(waitForLoadedPage(first, &err), err.constData());
        ::kill(pid_t(first->processId()), SIGKILL);
        QVERIFY(first->waitForFinished(10000));
        stop(first);

        QProcess *second = start(root);
        QByteArray secondErr;
        QVERIFY2(waitForLoadedPage(second, &secondErr), secondErr.constData());
        stop(second);
    }

    void applicationModeOpensItsMainWindow()
    {
        QTemporaryDir dir;
        const QString root = install(dir);
        QVERIFY(!root.isEmpty());
        {
            QSettings settings(root + QStringLiteral("/qt.conf"), QSettings::IniFormat);
            settings.setValue(QStringLiteral("System/Mode"), QStringLiteral("App"));
        }
        QProcess *process = start(root);
        QByteArray err;
        QVERIFY2(waitForLoadedPage(process, &err), err.constData());
        const QByteArray page = fetch(QStringLiteral("http://127.0.0.1:58899/data/Demo/window.html"));
        QVERIFY(page.contains("第二个窗口"));
        stop(process);
    }

    // On a real X server: closing the window like a window manager does ends the program with 0
    // and leaves the window size in data/user.conf.
    void closingTheLastWindowEndsCleanly()
    {
        QTemporaryDir dir;
        const QString root = install(dir);
        QVERIFY(!root.isEmpty());
        QProcess xvfb;
        xvfb.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                                            QStringLiteral("0"), QStringLiteral("1280x800x24")});
        QVERIFY(xvfb.waitForReadyRead(10000));
        const QString display = QLatin1Char(':') + QString::fromLatin1(xvfb.readAllStandardOutput().trimmed());
        QProcess *process = start(root, QStringList(), {{QStringLiteral("DISPLAY"), display},
                                                        {QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb")}});
        QByteArray err;
        QVERIFY2(waitForLoadedPage(process, &err), err.constData());
        QProcess closer;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display);
        closer.setProcessEnvironment(env);
        // The window maps a moment after the page loaded; ask until it has gone.
        QElapsedTimer clock;
        clock.start();
        while (process->state() != QProcess::NotRunning && clock.elapsed() < 15000) {
            closer.start(QStringLiteral(KAVO_CLOSE_WINDOWS), QStringList());
            closer.waitForFinished(5000);
            process->waitForFinished(300);
        }
        xvfb.terminate();
        xvfb.waitForFinished(5000);
        QCOMPARE(process->state(), QProcess::NotRunning);
        QCOMPARE(process->exitStatus(), QProcess::NormalExit);
        QCOMPARE(process->exitCode(), 0);
        QSettings user(root + QStringLiteral("/data/user.conf"), QSettings::IniFormat);
        QVERIFY(user.value(QStringLiteral("Demo/Width")).toInt() > 0);
    }

    void takenPortEndsStartUp()
    {
        QTemporaryDir dir;
        const QString root = install(dir);
        QVERIFY(!root.isEmpty());
        QTcpServer blocker;
        QVERIFY(blocker.listen(QHostAddress::Any, 58899));
        int exitCode = 0;
        const QStringList lines = runToEnd(root, &exitCode);
        QCOMPARE(exitCode, 255);
        QVERIFY(lines.filter(QStringLiteral("KAVO_STARTUP init")).isEmpty());
        QVERIFY2(lines.contains(QStringLiteral("错误: 本地服务器的端口58899已被其他程序占用，程序无法启动。")),
                 qPrintable(lines.join(QLatin1Char('|'))));
    }

    // Where the server listens, by qt.conf; the configured page keeps its bridge on any port.
    void serverAddressAndPort_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("otherAddressServed");
        QTest::newRow("no keys: this machine only") << QString() << 0 << false;
        QTest::newRow("every interface") << "0.0.0.0" << 0 << true;
        QTest::newRow("own port") << QString() << 58900 << false;
    }

    void serverAddressAndPort()
    {
        QFETCH(QString, address);
        QFETCH(int, port);
        QFETCH(bool, otherAddressServed);
        QTemporaryDir dir;
        const QString root = install(dir);
        QVERIFY(!root.isEmpty());
        const int used = port ? port : 58899;
        {
            QSettings settings(root + QStringLiteral("/qt.conf"), QSettings::IniFormat);
            if (!address.isEmpty())
                settings.setValue(QStringLiteral("System/ServerAddress"), address);
            if (port) {
                settings.setValue(QStringLiteral("System/Port"), port);
                settings.setValue(QStringLiteral("Demo/Url"), QStringLiteral("http://localhost:%1/data/Demo/index.html").arg(port));
            }
        }
        QProcess *process = start(root);
        QByteArray err;
        QVERIFY2(waitForLoadedPage(process, &err), err.constData());
        const QString page = QStringLiteral("http://%1:%2/data/Demo/index.html");
        QVERIFY(fetch(page.arg(QStringLiteral("127.0.0.1")).arg(used)).contains("卡沃演示应用"));
        QCOMPARE(fetch(page.arg(QStringLiteral("127.0.0.2")).arg(used)).contains("卡沃演示应用"), otherAddressServed);
        if (port)
            QVERIFY(fetch(page.arg(QStringLiteral("127.0.0.1")).arg(58899)).isEmpty());
        // What the program itself keeps is not for the network.
        QVERIFY(fetch(QStringLiteral("http://127.0.0.1:%1/qt.conf").arg(used)).isEmpty());
        QTest::qWait(500);
        err += process->readAllStandardError();
        stop(process);
        QVERIFY2(!err.contains("untrusted"), err.constData());
    }

    // A main program built without its style sheet stops at that step and says nothing.
    void missingStyleSheetEndsStartUpSilently()
    {
        QTemporaryDir dir;
        const QString root = install(dir);
        QVERIFY(!root.isEmpty());
        const QString program = root + QStringLiteral("/Kavo.V5");
        QVERIFY(QFile::remove(program));
        QVERIFY(QFile::copy(QStringLiteral(KAVO_UNSTYLED_MAIN), program));
        int exitCode = 0;
        const QStringList lines = runToEnd(root, &exitCode);
        QCOMPARE(exitCode, 255);
        const QString all = lines.join(QLatin1Char('|'));
        QVERIFY2(lines.filter(QStringLiteral("KAVO_STARTUP plugins")).size() == 1, qPrintable(all));
        QVERIFY2(lines.filter(QStringLiteral("KAVO_STARTUP installation")).isEmpty(), qPrintable(all));
        QVERIFY2(lines.filter(QStringLiteral("错误")).isEmpty() && lines.filter(QStringLiteral("系统提示")).isEmpty(),
                 qPrintable(all));
    }

    // The unpacked main program is copied in only when it carries the updater's version.
    void mainExecutableIsBroughtToUpdaterVersion_data()
    {
        QTest::addColumn<QByteArray>("unpackedVersion");
        QTest::addColumn<bool>("repaired");
        QTest::newRow("unpacked at the updater's version") << QByteArray("5.9.0.0") << true;
        QTest::newRow("unpacked at the old version") << QByteArray("5.0.0.0") << false;
        QTest::newRow("nothing unpacked") << QByteArray() << false;
    }

    void mainExecutableIsBroughtToUpdaterVersion()
    {
        QFETCH(QByteArray, unpackedVersion);
        QFETCH(bool, repaired);
        QTemporaryDir dir;
        const QString root = install(dir);
        QVERIFY(!root.isEmpty());
        QVERIFY(stamp(root + QStringLiteral("/Kavo.Update"), "5.9.0.0"));
        if (!unpackedVersion.isEmpty()) {
            const QString tmp = root + QStringLiteral("/data/update/Demo/5.0.0.0/tmp");
            QVERIFY(QDir().mkpath(tmp));
            QVERIFY(QFile::copy(root + QStringLiteral("/Kavo.V5"), tmp + QStringLiteral("/Kavo.V5")));
            QVERIFY(stamp(tmp + QStringLiteral("/Kavo.V5"), unpackedVersion));
        }
        QProcess *process = start(root);
        QByteArray err;
        QVERIFY2(waitForLoadedPage(process, &err), err.constData());
        stop(process);
        const bool warned = err.contains("错误: 您的程序运行环境出现了问题, 我们强烈建议您重新下载安装最新版本!");
        QCOMPARE(warned, !repaired);
        QProcess reader;
        QCOMPARE(QProcess::execute(QStringLiteral("objcopy"),
                                   {QStringLiteral("-O"), QStringLiteral("binary"), QStringLiteral("--only-section=.kavo_version"),
                                    root + QStringLiteral("/Kavo.V5"), root + QStringLiteral("/version.bin")}),
                 0);
        QFile versionFile(root + QStringLiteral("/version.bin"));
        QVERIFY(versionFile.open(QIODevice::ReadOnly));
        const QByteArray version = versionFile.readAll();
        QCOMPARE(version.startsWith("5.9.0.0"), repaired);
    }
};

QTEST_MAIN(tst_MainStartup)
#include "tst_mainstartup.moc"
