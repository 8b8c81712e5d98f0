#include "browser/host.h"
#include "bridge/kavoupdate.h"
#include "core/appnames.h"
#include "core/config.h"
#include "core/fileutils.h"
#include "eventpage.h"
#include "tests/updater/updatefixture.h"

#include <QRandomGenerator>
#include <QtTest>

#include <csignal>

using namespace UpdateFixture;

// The update client as pages meet it: published into every page, telling every open page when
// an update fails, and keeping a download going while pages reload. The real updater runs
// beside this program (in a directory of its own) against nginx on loopback; the installation's
// qt.conf here asks for packages signed with key A.
class tst_KavoUpdatePage : public QObject
{
    Q_OBJECT

    QTemporaryDir m_served;
    QTemporaryDir m_keys;
    Nginx m_nginx;
    QString m_name;
    QString m_area;

    static void announce(EventPage &page, const QString &version, const QString &url)
    {
        page.run(QStringLiteral("KavoUpdate.beginUpdate('%1', '', '%2')").arg(version, url));
    }
    static QJsonObject errorEvent(const QString &version, const QString &text)
    {
        return QJsonObject{{"type", "kavo.update.error"}, {"success", false}, {"version", version}, {"error", text},
                           {"list", QJsonArray()}};
    }

    QString key(const QString &name)
    {
        QProcess p;
        p.start(qEnvironmentVariable("KAVO_SOURCE_DIR") + QStringLiteral("/scripts/make-update-package.sh"),
                {QStringLiteral("--new-key"), m_keys.filePath(name)});
        p.waitForFinished(30000);
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        const int at = out.indexOf(QStringLiteral("UpdatePublicKey="));
        return at < 0 ? QString() : out.mid(at + 16).trimmed();
    }

    // A package holding an updater file, filler and the qt.conf of the given application and
    // version, signed with the key of the given name.
    void package(const QString &name, const QString &signer, int fillerBytes, const QString &app,
                 const QString &version)
    {
        QTemporaryDir stage;
        QVERIFY(writeFile(stage.filePath(Kavo::updaterExecutableName()), "#!/bin/sh\nexit 0\n"));
        QVERIFY(writeFile(stage.filePath(QStringLiteral("qt.conf")),
                          QStringLiteral("[System]\nApp=%1\n[%1]\nVersion=%2\n").arg(app, version).toUtf8()));
        // Random, so the zip is as large as its contents.
        QByteArray filler(fillerBytes, '\0');
        for (int i = 0; i < fillerBytes; ++i)
            filler[i] = char(QRandomGenerator::global()->generate());
        QVERIFY(writeFile(stage.filePath(QStringLiteral("filler.bin")), filler));
        const QString zip = m_served.filePath(name);
        QProcess p;
        p.setWorkingDirectory(stage.path());
        p.start(QStringLiteral("zip"), {QStringLiteral("-q"), QStringLiteral("-r"), QStringLiteral("-X"), zip, QStringLiteral(".")});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 0);
        QProcess sign;
        sign.start(QStringLiteral("openssl"), {QStringLiteral("pkeyutl"), QStringLiteral("-sign"), QStringLiteral("-inkey"),
                                               m_keys.filePath(signer), QStringLiteral("-rawin"), QStringLiteral("-in"), zip});
        QVERIFY(sign.waitForFinished(30000));
        QVERIFY(writeFile(zip + QStringLiteral(".sig"), sign.readAllStandardOutput().toBase64() + '\n'));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(Host::instance().init());
        m_name = QStringLiteral("PageTest%1").arg(QCoreApplication::applicationPid());
        appConfig().set(m_name, QString(), QStringLiteral("Test"), QString(), QStringLiteral("5.0.0.0"), QString(), 0, 0,
                        QUrl());
        m_area = absolutePath(QStringLiteral("data/update/") + m_name);
        removeDir(m_area);
        // The real updater, beside this program as beside Kavo.V5, reading the key from qt.conf here.
        const QString updater = absolutePath(Kavo::updaterExecutableName());
        QFile::remove(updater);
        QVERIFY(QFile::copy(binDir() + QLatin1Char('/') + Kavo::updaterExecutableName(), updater));
        const QString keyA = key(QStringLiteral("A"));
        QVERIFY(!key(QStringLiteral("B")).isEmpty());
        QVERIFY(writeFile(absolutePath(QStringLiteral("qt.conf")),
                          QStringLiteral("[System]\nApp=%1\n[%1]\nVersion=5.0.0.0\nUpdatePublicKey=%2\n")
                              .arg(m_name, keyA)
                              .toUtf8()));
        package(QStringLiteral("wrongkey.zip"), QStringLiteral("B"), 1000, m_name, QStringLiteral("5.0.0.1"));
        package(QStringLiteral("slow.zip"), QStringLiteral("A"), 600000, m_name, QStringLiteral("5.0.0.3"));
        // Signed with the right key, but made for another application.
        package(QStringLiteral("otherapp.zip"), QStringLiteral("A"), 1000, QStringLiteral("Shop"), QStringLiteral("5.0.0.1"));
        // Slow enough that a page reloads while the download runs.
        m_nginx.setServerDirectives(QStringLiteral("limit_rate 40k;"));
        QVERIFY(m_nginx.start(m_served.path()));
        qputenv("KAVO_UPDATE_CONSENT", "no");
    }

    void cleanup()
    {
        KavoUpdate::destroyInstance();
        removeDir(m_area);
    }

    void cleanupTestCase()
    {
        QFile::remove(absolutePath(Kavo::updaterExecutableName()));
        QFile::remove(absolutePath(QStringLiteral("qt.conf")));
    }

    void registeredInOrder()
    {
        QStringList names;
        for (const auto &entry : Host::instance().windowObjects())
            names << entry.first;
        QCOMPARE(names, QStringList({"KavoFactory", "KavoDevice", "KavoFile", "KavoCamera", "KavoUpdate",
                                     "KavoNotification"}));
    }

    void pageReachesTheClient()
    {
        EventPage page;
        QCOMPARE(page.run(QStringLiteral("typeof KavoUpdate.beginUpdate")).toString(), QStringLiteral("function"));
        KavoUpdate *client = page.bridgeObject<KavoUpdate>();
        QVERIFY(client);
        // An empty version is ignored; the object keeps nothing.
        page.run(QStringLiteral("KavoUpdate.beginUpdate('', '', 'http://127.0.0.1:9/p.zip')"));
        QVERIFY(client->version().isEmpty());
        QVERIFY(!client->process());
    }

    void failuresReachEveryOpenPage_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("package");
        QTest::addColumn<QString>("error");
        QTest::newRow("signature by another key") << "5.0.0.1" << "wrongkey.zip" << "升级包签名校验失败!";
        QTest::newRow("package not on the server") << "5.0.0.2" << "missing.zip" << "升级包下载失败!";
        QTest::newRow("another application's package") << "5.0.0.1" << "otherapp.zip"
                                                        << "升级包不属于本应用或与公布的版本不符!";
    }

    void failuresReachEveryOpenPage()
    {
        QFETCH(QString, version);
        QFETCH(QString, package);
        QFETCH(QString, error);
        EventPage asking;
        EventPage other;
        announce(asking, version, m_nginx.url(package));
        const QJsonArray expected{errorEvent(version, error)};
        QTRY_COMPARE_WITH_TIMEOUT(asking.events(), expected, 60000);
        QTRY_COMPARE(other.events(), expected);
        QVERIFY(!KavoUpdate::instance()->process());
        // Nothing of the refused package stays.
        QVERIFY(!QFileInfo::exists(m_area + QLatin1Char('/') + version + QStringLiteral("/tmp")));
        QVERIFY(!QFileInfo::exists(m_area + QLatin1Char('/') + version + QLatin1Char('/') + package));
    }

    void versionNotNewerIsAnswered_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("error");
        QTest::newRow("running version") << "5.0.0.0" << "该版本已经安装!";
        // A signed older package is never even fetched.
        QTest::newRow("older version") << "4.9.0.0" << "该版本不比当前版本 5.0.0.0 新, 不能安装!";
    }

    void versionNotNewerIsAnswered()
    {
        QFETCH(QString, version);
        QFETCH(QString, error);
        EventPage asking;
        EventPage other;
        announce(asking, version, m_nginx.url(QStringLiteral("slow.zip")));
        QTRY_COMPARE(asking.events(), QJsonArray{errorEvent(version, error)});
        QVERIFY(!QFileInfo::exists(m_area + QLatin1Char('/') + version + QStringLiteral("/slow.zip")));
        QTest::qWait(200);
        QCOMPARE(other.events(), QJsonArray());
        QVERIFY(!KavoUpdate::instance()->process());
    }

    // The updater cannot start and the page reloads while the message box saying so waits: the
    // object the page called lives until its call returns.
    void pageReloadsWhileAMessageBoxWaits()
    {
        const QString updater = absolutePath(Kavo::updaterExecutableName());
        const QFile::Permissions permissions = QFile::permissions(updater);
        QVERIFY(QFile::setPermissions(updater, QFile::ReadOwner | QFile::WriteOwner));
        const QByteArray nonInteractive = qgetenv("KAVO_NONINTERACTIVE");
        qunsetenv("KAVO_NONINTERACTIVE");
        EventPage page;
        QPointer<KavoUpdate> called = page.bridgeObject<KavoUpdate>();
        QVERIFY(called);
        QSignalSpy reloaded(&page.window, &BrowserWindow::pageReady);
        bool boxShown = false;
        bool aliveInBox = false;
        QTimer inBox;
        connect(&inBox, &QTimer::timeout, [&] {
            QWidget *box = QApplication::activeModalWidget();
            if (!box || boxShown)
                return;
            boxShown = true;
            page.startLoad();
            aliveInBox = !called.isNull();
            box->close();
        });
        inBox.start(20);
        announce(page, QStringLiteral("5.0.0.4"), m_nginx.url(QStringLiteral("slow.zip")));
        inBox.stop();
        qputenv("KAVO_NONINTERACTIVE", nonInteractive);
        QVERIFY(QFile::setPermissions(updater, permissions));
        QVERIFY(boxShown);
        QVERIFY(aliveInBox);
        QVERIFY(!reloaded.isEmpty() || reloaded.wait(PageScript::Timeout));
        QTRY_VERIFY(called.isNull());
        // The failure was told to the page that asked, before it went; the new page asked nothing.
        QTest::qWait(200);
        QCOMPARE(page.events(), QJsonArray());
    }

    void downloadSurvivesPageReload()
    {
        EventPage page;
        announce(page, QStringLiteral("5.0.0.3"), m_nginx.url(QStringLiteral("slow.zip")));
        QProcess *process = KavoUpdate::instance()->process();
        QVERIFY(process);
        const qint64 pid = process->processId();
        const QString dir = m_area + QStringLiteral("/5.0.0.3");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(dir + QStringLiteral("/slow.zip.lrdl")), 20000);

        // The page reloads: its bridge objects are replaced, the updater is not.
        page.load();
        QCOMPARE(KavoUpdate::instance()->process(), process);
        QCOMPARE(process->state(), QProcess::Running);
        QVERIFY(::kill(pid_t(pid), 0) == 0);
        // The reloaded page announces the same version again and joins the running download.
        announce(page, QStringLiteral("5.0.0.3"), m_nginx.url(QStringLiteral("slow.zip")));
        QCOMPARE(KavoUpdate::instance()->process(), process);
        QCOMPARE(process->processId(), pid);

        QTRY_VERIFY_WITH_TIMEOUT(!KavoUpdate::instance()->process(), 120000);
        QVERIFY(QFileInfo::exists(dir + QStringLiteral("/tmp/") + Kavo::updaterExecutableName()));
        QCOMPARE(sha(dir + QStringLiteral("/slow.zip")), sha(m_served.filePath(QStringLiteral("slow.zip"))));
        QCOMPARE(page.events(), QJsonArray());
    }
};

QTEST_MAIN(tst_KavoUpdatePage)
#include "tst_kavoupdatepage.moc"
