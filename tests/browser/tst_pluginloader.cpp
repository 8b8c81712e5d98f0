#include "browser/iminterface.h"
#include "browser/pluginloader.h"

#include <QTemporaryDir>
#include <QWidget>
#include <QtTest>

class tst_PluginLoader : public QObject
{
    Q_OBJECT
private slots:
    void searchDirRule_data()
    {
        QTest::addColumn<QString>("appDir");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain") << "/opt/app"
                               << "/opt/app";
        QTest::newRow("kavo.v5 folder") << "/opt/app/Kavo.V5"
                                        << "/opt/app";
        QTest::newRow("release") << "/src/build/x/Release"
                                 << "/src/build";
        QTest::newRow("kavo.v5 then debug") << "/src/a/b/debug/KAVO.V5"
                                            << "/src/a";
        QTest::newRow("debug not last") << "/src/debug/bin"
                                        << "/src/debug/bin";
    }

    void searchDirRule()
    {
        QFETCH(QString, appDir);
        QFETCH(QString, expected);
        QCOMPARE(pluginSearchDir(appDir), expected);
    }

    void loadsOnlyKavoPlugins()
    {
        QTemporaryDir dir;
        QVERIFY(!loadImPlugins(dir.path()));
        // Not plug-ins, or not named "Kavo.": nothing changes.
        QVERIFY(QFile::copy(QStringLiteral("/bin/true"), dir.filePath(QStringLiteral("Kavo.V5"))));
        QVERIFY(QFile::copy(QStringLiteral(KAVO_TEST_PLUGIN), dir.filePath(QStringLiteral("other.im.so"))));
        QVERIFY(!loadImPlugins(dir.path()));

        QVERIFY(QFile::copy(QStringLiteral(KAVO_TEST_PLUGIN), dir.filePath(QStringLiteral("Kavo.im.so"))));
        IMInterface *im = loadImPlugins(dir.path());
        QVERIFY(im);
        QWidget view;
        im->attach(&view);
        QVERIFY(view.property("kavoImAttached").toBool());
    }
};

QTEST_MAIN(tst_PluginLoader)
#include "tst_pluginloader.moc"
