#include "core/config.h"
#include "core/configparser.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

class tst_Config : public QObject
{
    Q_OBJECT

private:
    QString writeFile(const QString &name, const QByteArray &text)
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot write fixture");
        file.write(text);
        return path;
    }
    QTemporaryDir m_dir;

private slots:
    void appConfigLoad_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("loaded");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        // What the log says beside the file's path: the key and what is wrong with it.
        QTest::addColumn<QString>("reason");

        const QByteArray full = "[System]\nMode=app\nApp=Demo\n[Demo]\nVersion=5.0.0.1\nTitle=演示\n"
                                "Width=800\nHeight=600\nUrl=http://localhost:58899/data/Demo/index.html\n";
        QTest::newRow("complete") << full << true << "app" << 800 << 600 << QString();
        QTest::newRow("no App") << QByteArray("[System]\nMode=app\n[Demo]\nVersion=1\nUrl=http://x/\n") << false
                                << "app" << 400 << 728 << "[System] App is missing or empty";
        QTest::newRow("empty App") << QByteArray("[System]\nApp=\n[Demo]\nVersion=1\nUrl=http://x/\n") << false << "app"
                                   << 400 << 728 << "[System] App is missing or empty";
        QTest::newRow("no Version") << QByteArray("[System]\nApp=Demo\n[Demo]\nUrl=http://x/\n") << false << ""
                                    << -99999 << -99999 << "[Demo] Version is missing or empty";
        QTest::newRow("invalid Url") << QByteArray("[System]\nApp=Demo\n[Demo]\nVersion=1\nUrl=\"http://[bad\"\n")
                                     << false << "" << -99999 << -99999 << "[Demo] Url=http://[bad is no valid URL (";
        QTest::newRow("no Mode, no size")
            << QByteArray("[System]\nApp=Demo\n[Demo]\nVersion=1\nUrl=http://x/\n") << true << "" << -99999 << -99999 << QString();
        QTest::newRow("width not a number")
            << QByteArray("[System]\nApp=Demo\n[Demo]\nVersion=1\nWidth=wide\nHeight=5\nUrl=http://x/\n") << true << ""
            << 0 << 5 << QString();
        // Qt's variant reader would abort on this list's count of four billion.
        QTest::newRow("value of a list type")
            << QByteArray("[System]\nApp=Demo\n[Demo]\nVersion=1\nUrl=http://x/\n"
                          "Title=@Variant(\\0\\0\\0\\t\\xff\\xff\\xff\\xff)\n")
            << false << "app" << 400 << 728 << "holds a value of a type that is not read";
        QTest::newRow("value of a list type, escaped")
            << QByteArray("[System]\nApp=Demo\n[Demo]\nVersion=1\nUrl=http://x/\n"
                          "Title=\\x40Variant(\\0\\0\\0\\t\\xff\\xff\\xff\\xff)\n")
            << false << "app" << 400 << 728 << "holds a value of a type that is not read";
        // Qt decodes a line that a later one of the same key overrides as well.
        QTest::newRow("list value overridden by a later line")
            << QByteArray("[System]\nApp=Demo\n[Demo]\nVersion=1\nUrl=@Variant(\\0\\0\\0\\t\\xff\\xff\\xff\\xff)\n"
                          "Url=http://x/\n")
            << true << "" << -99999 << -99999 << QString();
        QTest::newRow("text that starts with @")
            << QByteArray("[System]\nApp=Demo\n[Demo]\nVersion=1\nUrl=http://x/\nTitle=@Home, @Work\n") << true << ""
            << -99999 << -99999 << QString();
        QTest::newRow("no version, no url, port a word")
            << QByteArray("[System]\nApp=Demo\nPort=abc\n[Demo]\nTitle=x\n") << false << "" << -99999 << -99999
            << "[Demo] Version is missing or empty; [Demo] Url is missing or empty; [System] Port=abc is no port number (1 to 65535)";
        QTest::newRow("a picture, not settings")
            << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\x01\0", 20) << false << "app" << 400 << 728
            << "holds no settings (is it an INI file?)";
    }

    void appConfigLoad()
    {
        QFETCH(QByteArray, text);
        const QString path = writeFile(QStringLiteral("qt.conf"), text);
        AppConfig config;
        QFETCH(bool, loaded);
        QFETCH(QString, mode);
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(QString, reason);
        QCOMPARE(config.load(path), loaded);
        QVERIFY2(reason.isEmpty() ? config.errorString().isEmpty()
                                  : config.errorString().startsWith(m_dir.filePath(QStringLiteral("qt.conf: ")))
                         && config.errorString().contains(reason),
                 qPrintable(config.errorString()));
        QCOMPARE(config.mode(), mode);
        QCOMPARE(config.width(), width);
        QCOMPARE(config.height(), height);
    }

    void serverAndTrustKeys_data()
    {
        QTest::addColumn<QByteArray>("system");
        QTest::addColumn<QByteArray>("group");
        QTest::addColumn<bool>("loaded");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QStringList>("origins");
        QTest::newRow("none of them") << QByteArray() << QByteArray() << true << 58899 << "127.0.0.1" << QStringList();
        QTest::newRow("port") << QByteArray("Port=58900\n") << QByteArray() << true << 58900 << "127.0.0.1" << QStringList();
        QTest::newRow("empty port") << QByteArray("Port=\n") << QByteArray() << true << 58899 << "127.0.0.1" << QStringList();
        QTest::newRow("port not a number") << QByteArray("Port=http\n") << QByteArray() << false << 58899 << "127.0.0.1" << QStringList();
        QTest::newRow("port 0") << QByteArray("Port=0\n") << QByteArray() << false << 58899 << "127.0.0.1" << QStringList();
        QTest::newRow("port too large") << QByteArray("Port=65536\n") << QByteArray() << false << 58899 << "127.0.0.1" << QStringList();
        QTest::newRow("every interface") << QByteArray("ServerAddress=0.0.0.0\n") << QByteArray() << true << 58899 << "0.0.0.0" << QStringList();
        QTest::newRow("ipv6 loopback") << QByteArray("ServerAddress=::1\n") << QByteArray() << true << 58899 << "::1" << QStringList();
        QTest::newRow("address by name") << QByteArray("ServerAddress=localhost\n") << QByteArray() << false << 58899 << "localhost" << QStringList();
        QTest::newRow("trusted origins") << QByteArray() << QByteArray("TrustedOrigins=https://a.example.com https://b.example.com:8443\n")
                                         << true << 58899 << "127.0.0.1" << QStringList{"https://a.example.com", "https://b.example.com:8443"};
        QTest::newRow("origins with commas") << QByteArray() << QByteArray("TrustedOrigins=https://a.example.com, https://b.example.com\n")
                                             << true << 58899 << "127.0.0.1" << QStringList{"https://a.example.com", "https://b.example.com"};
    }

    void serverAndTrustKeys()
    {
        QFETCH(QByteArray, system);
        QFETCH(QByteArray, group);
        QFETCH(bool, loaded);
        QFETCH(int, port);
        QFETCH(QString, address);
        QFETCH(QStringList, origins);
        const QString path = writeFile(QStringLiteral("keys.conf"), "[System]\nApp=Demo\n" + system
                                           + "[Demo]\nVersion=1\nUrl=http://localhost:58899/data/Demo/index.html\n" + group);
        AppConfig config;
        QCOMPARE(config.load(path), loaded);
        if (!loaded)
            return;
        QCOMPARE(int(config.port()), port);
        QCOMPARE(config.serverAddress(), address);
        QCOMPARE(config.trustedOrigins(), origins);
        const AppConfig copy(config);
        QCOMPARE(int(copy.port()), port);
        QCOMPARE(copy.serverAddress(), address);
        QCOMPARE(copy.trustedOrigins(), origins);
    }

    void missingFileFailsAndIsNotCreated()
    {
        const QString path = m_dir.filePath(QStringLiteral("absent.conf"));
        AppConfig config;
        QVERIFY(!config.load(path));
        QVERIFY(!QFile::exists(path));
        UserConfig user(QStringLiteral("Demo"), 1, 1);
        QVERIFY(!user.load(path));
        QVERIFY(!QFile::exists(path));
    }

    void appConfigReadsChineseTitle()
    {
        const QString path = writeFile(QStringLiteral("title.conf"),
                                       "[System]\nApp=Demo\n[Demo]\nVersion=1\nTitle=卡沃演示\nUrl=http://x/\n");
        AppConfig config;
        QVERIFY(config.load(path));
        QCOMPARE(config.title(), QStringLiteral("卡沃演示"));
        QVERIFY(!config.isAppMode());
    }

    void appConfigSaveCreatesFullFile()
    {
        const QString path = m_dir.filePath(QStringLiteral("created/qt.conf"));
        AppConfig config(QStringLiteral("Demo"), QStringLiteral("i.png"), QStringLiteral("标题"), QStringLiteral("APP"),
                         QStringLiteral("1.2.3.4"), QString(), 640, 480, QUrl(QStringLiteral("http://localhost/a")));
        QVERIFY(config.save(path));
        AppConfig back;
        QVERIFY(back.load(path));
        QCOMPARE(back.title(), QStringLiteral("标题"));
        QCOMPARE(back.version(), QStringLiteral("1.2.3.4"));
        QCOMPARE(back.width(), 640);
        QVERIFY(back.isAppMode());
        QSettings raw(path, QSettings::IniFormat);
        QCOMPARE(raw.value(QStringLiteral("Paths/Plugins")).toString(), QStringLiteral("."));
        QVERIFY(raw.contains(QStringLiteral("Demo/Splash")));
    }

    void appConfigSaveUpdatesWithoutTouchingSystemGroup()
    {
        const QString path = writeFile(QStringLiteral("update.conf"),
                                       "[System]\nMode=tray\nApp=Demo\n[Demo]\nVersion=1\nUrl=http://x/\n");
        AppConfig config(QStringLiteral("Demo"), QString(), QString(), QStringLiteral("app"), QStringLiteral("2"),
                         QString(), 10, 20, QUrl(QStringLiteral("http://y/")));
        QVERIFY(config.save(path));
        QSettings raw(path, QSettings::IniFormat);
        QCOMPARE(raw.value(QStringLiteral("System/Mode")).toString(), QStringLiteral("tray"));
        QCOMPARE(raw.value(QStringLiteral("Demo/Version")).toString(), QStringLiteral("2"));
        QVERIFY(!raw.contains(QStringLiteral("Demo/Splash")));
        QVERIFY(!raw.contains(QStringLiteral("Paths/Plugins")));
    }

    void userConfigRoundTrip()
    {
        const QString path = m_dir.filePath(QStringLiteral("data/user.conf"));
        QVERIFY(!UserConfig(QString(), 1, 2).save(path));
        QVERIFY(!QFile::exists(path));
        QVERIFY(UserConfig(QStringLiteral("Demo"), 1024, 700).save(path));
        QSettings raw(path, QSettings::IniFormat);
        QCOMPARE(raw.childGroups(), QStringList {QStringLiteral("Demo")});
        QVERIFY(UserConfig(QStringLiteral("Demo"), 900, 650).save(path));
        UserConfig back(QStringLiteral("Demo"), 0, 0);
        QVERIFY(back.load(path));
        QCOMPARE(back.width(), 900);
        QCOMPARE(back.height(), 650);
        UserConfig other(QStringLiteral("Other"), 0, 0);
        QVERIFY(other.load(path));
        QCOMPARE(other.width(), ConfigParser::Missing);
    }

    // A file the parser refuses is the user's: saving over it would make Qt's writer read it whole.
    void refusedFileIsNotRewritten_data()
    {
        QTest::addColumn<bool>("app");
        QTest::addColumn<QByteArray>("text");
        const QByteArray variant = "[System]\nApp=Demo\n[Demo]\nVersion=1\nUrl=http://x/\n"
                                   "Width=@Variant(\\0\\0\\0\\t\\xff\\xff\\xff\\xff)\n";
        QTest::newRow("qt.conf with a variant value") << true << variant;
        QTest::newRow("user.conf with a variant value") << false << variant;
        QTest::newRow("user.conf far too large") << false << "[Demo]\nWidth=1\n" + QByteArray(5 * 1024 * 1024, '#');
    }

    void refusedFileIsNotRewritten()
    {
        QFETCH(bool, app);
        QFETCH(QByteArray, text);
        const QString path = writeFile(QStringLiteral("refused.conf"), text);
        const bool saved = app ? AppConfig(QStringLiteral("Demo"), QString(), QString(), QStringLiteral("app"),
                                           QStringLiteral("2"), QString(), 10, 20, QUrl(QStringLiteral("http://y/")))
                                     .save(path)
                               : UserConfig(QStringLiteral("Demo"), 900, 650).save(path);
        QVERIFY(!saved);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), text);
    }

    void parserGetters()
    {
        const QString path = writeFile(QStringLiteral("p.conf"), "[G]\nn=12\nf=1.5\nt=abc\n");
        ConfigParser closed(path);
        bool wasOpen = true;
        QVERIFY(!closed.contains(QStringLiteral("G/n"), &wasOpen));
        QVERIFY(!wasOpen);
        QCOMPARE(closed.value(QStringLiteral("G/n"), 7).toInt(), 7);
        closed.setValue(QStringLiteral("G/x"), 1);

        ConfigParser parser(path);
        QVERIFY(parser.open());
        bool ok = false;
        QCOMPARE(parser.intValue(QStringLiteral("G/n"), &ok), 12);
        QVERIFY(ok);
        QCOMPARE(parser.intValue(QStringLiteral("G/t"), &ok), 0);
        QVERIFY(!ok);
        QCOMPARE(parser.intValue(QStringLiteral("G/absent"), &ok), -99999);
        QVERIFY(!ok);
        QCOMPARE(parser.floatValue(QStringLiteral("G/f")), 1.5f);
        QCOMPARE(parser.floatValue(QStringLiteral("G/absent")), -99999.0f);
        QVERIFY(!ConfigParser(QString()).open());
    }
};

QTEST_MAIN(tst_Config)
#include "tst_config.moc"
