#include "core/updatearea.h"
#include "updater/updatedialog.h"

#include <QtTest>

// The download directory rules and the dialog's wait rule.
class tst_UpdateArea : public QObject
{
    Q_OBJECT
private slots:
    void downloadDir_data()
    {
        QTest::addColumn<QString>("app");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("dir");
        QTest::newRow("plain") << "Shop" << "5.2" << "data/update/Shop/5.2";
        QTest::newRow("parent version") << "Shop" << ".." << "";
        QTest::newRow("path in version") << "Shop" << "5.2/../../x" << "";
        QTest::newRow("letters") << "Shop" << "1.a" << "";
        QTest::newRow("empty version") << "Shop" << "" << "";
        QTest::newRow("app with slash") << "a/b" << "5.2" << "";
        QTest::newRow("app dot-dot") << ".." << "5.2" << "";
    }
    void downloadDir()
    {
        QFETCH(QString, app);
        QFETCH(QString, version);
        QFETCH(QString, dir);
        QCOMPARE(UpdateArea::downloadDir(app, version), dir);
    }

    void packageFileName_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("name");
        QTest::newRow("plain") << "http://h/x/pkg.zip" << "pkg.zip";
        QTest::newRow("trailing slash") << "http://h/x/" << "";
        QTest::newRow("dot") << "http://h/x/." << "";
        QTest::newRow("dot-dot") << "http://h/x/.." << "";
        QTest::newRow("no slash") << "pkg.zip" << "pkg.zip";
    }
    void packageFileName()
    {
        QFETCH(QString, url);
        QFETCH(QString, name);
        QCOMPARE(UpdateArea::packageFileName(url), name);
    }

    void applicationRoot_data()
    {
        QTest::addColumn<QString>("dir");
        QTest::addColumn<QString>("root");
        QTest::newRow("plain") << "/opt/App/data/update/Shop/5.2/tmp" << "/opt/App";
        QTest::newRow("under /data") << "/data/App/data/update/Shop/5.2/tmp" << "/data/App";
        QTest::newRow("under /database") << "/database/App/data/update/Shop/5.2/tmp" << "/database/App";
        QTest::newRow("no update tree") << "/opt/App/data/x" << "";
    }
    void applicationRoot()
    {
        QFETCH(QString, dir);
        QFETCH(QString, root);
        QCOMPARE(UpdateArea::applicationRoot(dir), root);
    }

    void fileDelay_data()
    {
        QTest::addColumn<int>("files");
        QTest::addColumn<int>("delay");
        QTest::newRow("none") << 0 << 0;
        QTest::newRow("four") << 4 << 250;
        QTest::newRow("three") << 3 << 333;
        QTest::newRow("100") << 100 << 10;
        QTest::newRow("101") << 101 << 0;
        QTest::newRow("200") << 200 << 0;
    }
    void fileDelay()
    {
        QFETCH(int, files);
        QFETCH(int, delay);
        QCOMPARE(UpdateDialog::fileDelayFor(files), delay);
    }
};

QTEST_MAIN(tst_UpdateArea)
#include "tst_updatearea.moc"
