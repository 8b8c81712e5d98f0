#include "core/inivariants.h"
#include "tests/copytree.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include <QTextCodec>
#endif
#include <QtTest>

#include <csignal>
#include <utility>

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

    QStringList runToEnd(const QString &root, int *exitCode, const QList<QPair<QString, QString>> &extraEnv = {})
    {
        QProcess *process = start(root, QStringList(), extraEnv);
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

    // Helpers of the desktop tests (Xvfb, window manager, tray), ended after each test.
    QList<QProcess *> m_desktop;

    QProcess *startHelper(const QString &program, const QStringList &arguments, const QString &display)
    {
        auto *process = new QProcess(this);
        m_desktop.prepend(process);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (!display.isEmpty())
            env.insert(QStringLiteral("DISPLAY"), display);
        process->setProcessEnvironment(env);
        process->start(program, arguments);
        return process;
    }

    // A display of its own, with openbox when windowManager is set; empty when it cannot start.
    QString startDisplay(bool windowManager)
    {
        QProcess *xvfb = startHelper(QStringLiteral("Xvfb"),
                                     {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                                      QStringLiteral("0"), QStringLiteral("1280x800x24")},
                                     QString());
        if (!xvfb->waitForReadyRead(10000))
            return QString();
        const QString display = QLatin1Char(':') + QString::fromLatin1(xvfb->readAllStandardOutput().trimmed());
        if (windowManager) {
            QProcess *openbox = startHelper(QStringLiteral("openbox"), {}, display);
            if (!openbox->waitForStarted())
                return QString();
            // Until it manages the screen, windows would map without it.
            QTest::qWait(1000);
        }
        return display;
    }

    // The ids of the viewable windows titled title.
    static QStringList viewableWindows(const QString &display, const QString &title)
    {
        QProcess search;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display);
        // It converts window names into the locale's encoding before matching.
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
        search.setProcessEnvironment(env);
        search.start(QStringLiteral("xdotool"),
                     {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"), title});
        search.waitForFinished(5000);
        return QString::fromLatin1(search.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    static bool waitForViewable(const QString &display, const QString &title, bool viewable, int timeoutMs = 15000)
    {
        QElapsedTimer clock;
        clock.start();
        do {
            if (viewableWindows(display, title).isEmpty() != viewable)
                return true;
            QTest::qWait(200);
        } while (clock.elapsed() < timeoutMs);
        return false;
    }

    static void runOnDisplay(const QString &display, const QString &program, const QStringList &arguments)
    {
        QProcess helper;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display);
        helper.setProcessEnvironment(env);
        helper.start(program, arguments);
        helper.waitForFinished(5000);
    }

    // A session that names no locale, as CI's: the window titles must reach the window manager
    // all the same.
    static QList<QPair<QString, QString>> xEnvironment(const QString &display)
    {
        return {{QStringLiteral("DISPLAY"), display},
                {QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb")},
                {QStringLiteral("LANG"), QString()},
                {QStringLiteral("LC_ALL"), QString()},
                {QStringLiteral("LC_CTYPE"), QString()}};
    }

    static void setMode(const QString &root, const QString &mode)
    {
        QSettings settings(root + QStringLiteral("/qt.conf"), QSettings::IniFormat);
        IniVariants::useUtf8(settings);
        settings.setValue(QStringLiteral("System/Mode"), mode);
    }

    static QString demoTitle() { return QStringLiteral("卡沃演示应用"); }

private slots:
    void initTestCase()
    {
        // Window titles travel to xdotool as UTF-8, whatever locale the run has.
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
#endif
    }

    void cleanup()
    {
        while (!m_processes.isEmpty())
            stop(m_processes.first());
        for (QProcess *helper : std::as_const(m_desktop)) {
            helper->terminate();
            if (!helper->waitForFinished(5000)) {
                helper->kill();
                helper->waitForFinished(5000);
            }
        }
        qDeleteAll(m_desktop);
        m_desktop.clear();
    }

    void brokenInstallationRefusesToStart_data()
    {
        QTest::addColumn<QString>("breakage");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("opensVendorSite");
        // Beside the box's one sentence, the log names the file, the key and what is wrong.
        QTest::addColumn<QString>("logged");
        const QString config = QStringLiteral("错误: 读取配置文件出错!");
        QTest::newRow("qt.conf missing") << "no-qtconf" << config << false << "/qt.conf: no such file";
        QTest::newRow("qt.conf without version") << "no-version" << config << false
                                                 << "/qt.conf: [Demo] Version is missing or empty";
        QTest::newRow("qt.conf without application") << "no-app" << config << false
                                                     << "/qt.conf: [System] App is missing or empty";
        QTest::newRow("qt.conf with a port that is no number")
            << "port-abc" << config << false << "/qt.conf: [System] Port=abc is no port number (1 to 65535)";
        QTest::newRow("qt.conf of garbage") << "garbage" << config << false << "/qt.conf: holds no settings";
        QTest::newRow("updater missing")
            << "no-updater" << "错误: 找不到Update.exe.您的程序运行环境已损害,请重新下载安装!" << true << QString();
        QTest::newRow("updater without version")
            << "unversioned-updater"
            << "错误: 亲，您的软件版本太低，不能正确进行自动升级，请您重新下载并安装最新版本哦。" << true << QString();
    }

    void brokenInstallationRefusesToStart()
    {
        QFETCH(QString, breakage);
        QFETCH(QString, message);
        QFETCH(bool, opensVendorSite);
        QFETCH(QString, logged);
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
        else if (breakage == QLatin1String("port-abc"))
            QSettings(conf, QSettings::IniFormat).setValue(QStringLiteral("System/Port"), QStringLiteral("abc"));
        else if (breakage == QLatin1String("garbage")) {
            // The head of a picture saved under the wrong name.
            QFile file(conf);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\x01\0", 20));
        }
        else if (breakage == QLatin1String("no-updater"))
            QVERIFY(QFile::remove(updater));
        else if (breakage == QLatin1String("unversioned-updater"))
            QVERIFY(QFile::remove(updater) && QFile::copy(QStringLiteral("/bin/true"), updater));

        int exitCode = 0;
        const QStringList lines = runToEnd(root, &exitCode);
        QCOMPARE(exitCode, 255);
        QVERIFY2(lines.contains(message), qPrintable(lines.join(QLatin1Char('|'))));
        if (!logged.isEmpty()) {
            const QStringList said = lines.filter(QStringLiteral("读取配置文件出错: /"));
            QVERIFY2(said.size() == 1 && said.first().contains(logged), qPrintable(lines.join(QLatin1Char('|'))));
        }
        const bool opened = lines.filter(QStringLiteral("openUrl: ")).size() == 1;
        QCOMPARE(opened, opensVendorSite);
        QVERIFY(lines.filter(QStringLiteral("KAVO_STARTUP init")).isEmpty());
    }

    // The same application of the same user is refused; another application is not taken for it.
    void secondStartIsRefusedWhileFirstKeepsServing_data()
    {
        QTest::addColumn<bool>("sameApplication");
        QTest::addColumn<int>("exitCode");
        // Handing over to the running window is a success; the other application meets the port taken.
        QTest::newRow("same application") << true << 0;
        QTest::newRow("another application") << false << 255;
    }

    void secondStartIsRefusedWhileFirstKeepsServing()
    {
        QFETCH(bool, sameApplication);
        QFETCH(int, exitCode);
        QTemporaryDir dir;
        const QString root = install(dir);
        QVERIFY(!root.isEmpty());
        QProcess *first = start(root);
        QByteArray firstErr;
        QVERIFY2(waitForLoadedPage(first, &firstErr), firstErr.constData());

        QTemporaryDir otherDir;
        QString secondRoot = root;
        if (!sameApplication) {
            secondRoot = install(otherDir);
            QVERIFY(!secondRoot.isEmpty());
            QSettings settings(secondRoot + QStringLiteral("/qt.conf"), QSettings::IniFormat);
            IniVariants::useUtf8(settings);
            settings.beginGroup(QStringLiteral("Demo"));
            QVariantMap values;
            for (const QString &key : settings.childKeys())
                values.insert(key, settings.value(key));
            settings.endGroup();
            for (auto it = values.constBegin(); it != values.constEnd(); ++it)
                settings.setValue(QStringLiteral("Other/") + it.key(), it.value());
            settings.setValue(QStringLiteral("System/App"), QStringLiteral("Other"));
        }

        int exited = 0;
        const QStringList lines = runToEnd(secondRoot, &exited);
        const QString all = lines.join(QLatin1Char('|'));
        QVERIFY2(lines.contains(QStringLiteral("系统提示: 卡沃演示应用已经在运行")) == sameApplication, qPrintable(all));
        // Another application passes the instance guard (the port is still the first one's).
        QVERIFY2(lines.filter(QStringLiteral("KAVO_STARTUP config")).isEmpty() == sameApplication, qPrintable(all));
        QCOMPARE(exited, exitCode);

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

    // On a real X server, closing the window as a window manager does: the ordinary mode and an
    // application mode without a tray end with 0 and leave the size in data/user.conf; in
    // application mode a tray takes the icon in and the window hides into it.
    void closingTheWindow_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("tray");
        QTest::addColumn<bool>("ends");
        QTest::newRow("ordinary mode") << QString() << false << true;
        QTest::newRow("ordinary mode beside a tray") << QString() << true << true;
        QTest::newRow("application mode with a tray") << "App" << true << false;
        QTest::newRow("application mode without a tray") << "App" << false << true;
    }

    void closingTheWindow()
    {
        QFETCH(QString, mode);
        QFETCH(bool, tray);
        QFETCH(bool, ends);
        QTemporaryDir dir;
        const QString root = install(dir);
        QVERIFY(!root.isEmpty());
        setMode(root, mode);
        const QString display = startDisplay(false);
        QVERIFY(!display.isEmpty());
        QProcess *trayHost = nullptr;
        if (tray) {
            trayHost = startHelper(QStringLiteral(KAVO_TRAY_HOST), {}, display);
            QVERIFY(trayHost->waitForReadyRead(10000));
            QCOMPARE(trayHost->readLine().trimmed(), QByteArray("ready"));
        }
        QProcess *process = start(root, QStringList(), xEnvironment(display));
        QByteArray err;
        QVERIFY2(waitForLoadedPage(process, &err), err.constData());
        // The page came through the local server, whose debug lines wait for their switch.
        QVERIFY2(!err.contains("新连接"), err.constData());
        QVERIFY(waitForViewable(display, demoTitle(), true));
        if (tray) {
            // Only application mode docks an icon in the tray.
            const bool docked = trayHost->canReadLine() || trayHost->waitForReadyRead(mode.isEmpty() ? 2000 : 10000);
            QCOMPARE(docked, !mode.isEmpty());
            if (docked)
                QCOMPARE(trayHost->readLine().trimmed(), QByteArray("dock"));
        }
        QElapsedTimer clock;
        clock.start();
        if (ends) {
            while (process->state() != QProcess::NotRunning && clock.elapsed() < 15000) {
                runOnDisplay(display, QStringLiteral(KAVO_CLOSE_WINDOWS), {});
                process->waitForFinished(300);
            }
            QCOMPARE(process->state(), QProcess::NotRunning);
            QCOMPARE(process->exitStatus(), QProcess::NormalExit);
            QCOMPARE(process->exitCode(), 0);
            QSettings user(root + QStringLiteral("/data/user.conf"), QSettings::IniFormat);
            QVERIFY(user.value(QStringLiteral("Demo/Width")).toInt() > 0);
        } else {
            runOnDisplay(display, QStringLiteral(KAVO_CLOSE_WINDOWS), {});
            QVERIFY(waitForViewable(display, demoTitle(), false));
            QVERIFY(!process->waitForFinished(2000));
            QCOMPARE(process->state(), QProcess::Running);
            // Still serving from the tray.
            QVERIFY(fetch(QStringLiteral("http://127.0.0.1:58899/data/Demo/window.html")).contains("第二个窗口"));
        }
    }

    // A second start brings the running window back, wherever the user put it, besides saying
    // that the program runs.
    void secondStartBringsTheWindowBack_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("tray");
        QTest::addColumn<QString>("how");
        QTest::newRow("ordinary mode, minimised") << QString() << false << "minimise";
        QTest::newRow("application mode without a tray, minimised") << "App" << false << "minimise";
        QTest::newRow("application mode, closed into the tray") << "App" << true << "close";
        QTest::newRow("application mode, minimised into the tray") << "App" << true << "minimise";
    }

    void secondStartBringsTheWindowBack()
    {
        QFETCH(QString, mode);
        QFETCH(bool, tray);
        QFETCH(QString, how);
        QTemporaryDir dir;
        const QString root = install(dir);
        QVERIFY(!root.isEmpty());
        setMode(root, mode);
        const QString display = startDisplay(true);
        QVERIFY(!display.isEmpty());
        if (tray) {
            QProcess *trayHost = startHelper(QStringLiteral(KAVO_TRAY_HOST), {}, display);
            QVERIFY(trayHost->waitForReadyRead(10000));
        }
        QProcess *first = start(root, QStringList(), xEnvironment(display));
        QByteArray err;
        QVERIFY2(waitForLoadedPage(first, &err), err.constData());
        QVERIFY(waitForViewable(display, demoTitle(), true));
        if (how == QLatin1String("close")) {
            runOnDisplay(display, QStringLiteral(KAVO_CLOSE_WINDOWS), {});
        } else {
            const QString id = viewableWindows(display, demoTitle()).value(0);
            runOnDisplay(display, QStringLiteral("xdotool"), {QStringLiteral("windowminimize"), id});
        }
        QVERIFY(waitForViewable(display, demoTitle(), false));
        QCOMPARE(first->state(), QProcess::Running);

        int exitCode = 0;
        const QStringList lines = runToEnd(root, &exitCode, xEnvironment(display));
        QCOMPARE(exitCode, 0);
        QVERIFY2(lines.contains(QStringLiteral("系统提示: 卡沃演示应用已经在运行")), qPrintable(lines.join('|')));
        QVERIFY(waitForViewable(display, demoTitle(), true, 10000));
        QCOMPARE(first->state(), QProcess::Running);
    }

    // The cookie store in the program's own folder was shared by every application of the user:
    // an application takes a copy into its own folder, private to its owner, and the shared
    // store stays for the others.
    void sharedCookieStoreIsCopiedForTheApplication()
    {
        QTemporaryDir dir;
        QTemporaryDir home;
        const QString root = install(dir);
        QVERIFY(!root.isEmpty());
        const QString shared = home.path() + QStringLiteral("/Kavo/Kavo.V5/cookies.ini");
        const QString own = home.path() + QStringLiteral("/Kavo/Kavo.V5/Demo/cookies.ini");
        const QByteArray store("[General]\nkept=1\n");
        QVERIFY(QDir().mkpath(QFileInfo(shared).path()));
        {
            QFile file(shared);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(store);
            QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        }
        QProcess *process = start(root, {}, {{QStringLiteral("XDG_DATA_HOME"), home.path()}});
        QByteArray err;
        QVERIFY2(waitForLoadedPage(process, &err), err.constData());
        stop(process);
        for (const QString &path : {shared, own}) {
            QFile file(path);
            QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
            QCOMPARE(file.readAll(), store);
            QCOMPARE(file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), QFileDevice::Permissions());
        }
    }

    // What a page of the installation reports, start after start, through image requests to a
    // loopback server of this test. Between the starts the program is ended as a logout ends it.
    void pageReports_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QStringList>("reports"); // one per start
        // QtWebKit knows no modules: it runs the fallback instead.
        const QString modern = QLatin1String(KAVO_TEST_ENGINE) == QLatin1String("webkit")
            ? QStringLiteral("no modules")
            : QStringLiteral("module 42,async,element ready");
        QTest::newRow("ES module, async/await, custom element")
            << QByteArray("</script><script nomodule>report('no modules');</script>"
                          "<script type='module'>import { twice } from './twice.mjs';"
                          "customElements.define('kavo-probe', class extends HTMLElement {"
                          " connectedCallback() { this.textContent = 'ready'; } });"
                          "const later = ms => new Promise(done => setTimeout(done, ms));"
                          "(async () => { await later(10); const probe = document.createElement('kavo-probe');"
                          " document.body.appendChild(probe);"
                          " report(['module ' + twice(21), 'async', 'element ' + probe.textContent].join(',')); })();")
            << QStringList{modern};
        QTest::newRow("localStorage after a restart")
            << QByteArray("var kept = localStorage.getItem('kept');"
                          "if (kept) report('kept ' + kept); else { localStorage.setItem('kept', 'yes'); report('stored'); }")
            << QStringList{QStringLiteral("stored"), QStringLiteral("kept yes")};
    }

    void pageReports()
    {
        QFETCH(QByteArray, script);
        QFETCH(QStringList, reports);
        QTemporaryDir dir;
        QTemporaryDir home;
        const QString root = install(dir);
        QVERIFY(!root.isEmpty());
        QStringList heard;
        QTcpServer reportServer;
        QVERIFY(reportServer.listen(QHostAddress::LocalHost));
        connect(&reportServer, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket *socket = reportServer.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [&heard, socket] {
                    const QByteArray line = socket->readLine();
                    const QList<QByteArray> parts = line.split(' ');
                    const QUrl url(QString::fromLatin1(parts.value(1)));
                    if (url.path() == QLatin1String("/r"))
                        heard << QUrl::fromPercentEncoding(url.query(QUrl::FullyEncoded).toLatin1());
                    socket->write("HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
                    socket->disconnectFromHost();
                });
            }
        });
        const QByteArray page = "<!doctype html><html><head><meta charset='utf-8'><script>"
                                "function report(text) { new Image().src = 'http://127.0.0.1:"
            + QByteArray::number(reportServer.serverPort()) + "/r?' + encodeURIComponent(text); }"
            + script + "</script></head><body></body></html>";
        for (const auto &file : {qMakePair(QStringLiteral("probe.html"), page),
                                 qMakePair(QStringLiteral("twice.mjs"), QByteArray("export function twice(x) { return 2 * x; }"))}) {
            QFile out(root + QStringLiteral("/data/Demo/") + file.first);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(file.second);
        }
        {
            QSettings settings(root + QStringLiteral("/qt.conf"), QSettings::IniFormat);
            IniVariants::useUtf8(settings);
            settings.setValue(QStringLiteral("Demo/Url"), QStringLiteral("http://localhost:58899/data/Demo/probe.html"));
        }
        for (int i = 0; i < reports.size(); ++i) {
            QProcess *process = start(root, {}, {{QStringLiteral("HOME"), home.path()},
                                                 {QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data"))},
                                                 {QStringLiteral("XDG_CACHE_HOME"), home.filePath(QStringLiteral("cache"))}});
            QTRY_VERIFY2_WITH_TIMEOUT(heard.size() > i, process->readAllStandardError().constData(), 30000);
            QCOMPARE(heard.at(i), reports.at(i));
            stop(process);
        }
    }

    // Any address of the port's that a page may reach the server by, taken by another program.
    void takenPortEndsStartUp_data()
    {
        QTest::addColumn<QString>("taken");
        QTest::newRow("every address") << "0.0.0.0";
        QTest::newRow("127.0.0.1") << "127.0.0.1";
        // An impostor would serve the pages of http://localhost to whoever tries IPv6 first.
        QTest::newRow("[::1] alone") << "::1";
    }

    void takenPortEndsStartUp()
    {
        QFETCH(QString, taken);
        QTemporaryDir dir;
        const QString root = install(dir);
        QVERIFY(!root.isEmpty());
        QTcpServer blocker;
        if (!blocker.listen(QHostAddress(taken), 58899) && blocker.serverError() != QAbstractSocket::AddressInUseError)
            QSKIP("this machine has no such address");
        QVERIFY2(blocker.isListening(), qPrintable(blocker.errorString()));
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
        // Nobody else can take an address of localhost on the port: the program holds them all.
        for (const QHostAddress &loopback : {QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::LocalHostIPv6)}) {
            QTcpServer impostor;
            QVERIFY2(!impostor.listen(loopback, quint16(used)), qPrintable(loopback.toString()));
            if (loopback.protocol() == QAbstractSocket::IPv6Protocol
                && impostor.serverError() == QAbstractSocket::AddressInUseError)
                QVERIFY(fetch(page.arg(QStringLiteral("[::1]")).arg(used)).contains("卡沃演示应用"));
        }
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
