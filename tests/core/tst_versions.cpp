#include "core/versions.h"

#include <QtTest>

class tst_Versions : public QObject
{
    Q_OBJECT
private slots:
    void compare_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("result");
        QTest::newRow("equal") << "5.0.0.1"
                               << "5.0.0.1" << 0;
        QTest::newRow("greater last part") << "5.0.0.2"
                                           << "5.0.0.1" << 1;
        QTest::newRow("smaller first part") << "4.9.9.9"
                                            << "5.0.0.0" << -1;
        QTest::newRow("numeric not textual") << "5.10"
                                             << "5.9" << 1;
        QTest::newRow("leading zeros") << "5.010"
                                       << "5.10" << 0;
        QTest::newRow("huge part") << "99999999999999999999.1"
                                   << "99999999999999999998.1" << 1;
        QTest::newRow("empty a") << ""
                                 << "1" << -2;
        QTest::newRow("empty b") << "1"
                                 << "" << -2;
        QTest::newRow("part counts differ") << "5.0.0"
                                            << "5.0.0.0" << -2;
        QTest::newRow("empty part") << "5..0"
                                    << "5.1.0" << -2;
        QTest::newRow("letters") << "5.0.a"
                                 << "5.0.1" << -2;
        QTest::newRow("sign") << "5.-1"
                              << "5.1" << -2;
        QTest::newRow("path in version") << "../.."
                                         << "1.1" << -2;
        QTest::newRow("blank") << "5. 1"
                               << "5.1" << -2;
    }

    void compare()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, result);
        QCOMPARE(compareVersions(a, b), result);
        if (result == 1 || result == -1)
            QCOMPARE(compareVersions(b, a), -result);
    }

    void versionText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("four parts") << "5.0.0.1" << true;
        QTest::newRow("one part") << "7" << true;
        QTest::newRow("dot dot") << ".." << false;
        QTest::newRow("dot") << "." << false;
        QTest::newRow("slash") << "1/2" << false;
        QTest::newRow("empty") << "" << false;
    }

    void versionText()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QCOMPARE(isVersionText(text), valid);
    }
};

QTEST_MAIN(tst_Versions)
#include "tst_versions.moc"
