#include "core/argmentparser.h"

#include <QtTest>

class tst_ArgmentParser : public QObject
{
    Q_OBJECT
private slots:
    void parseWords_data()
    {
        QTest::addColumn<QStringList>("words");
        QTest::addColumn<ArgumentTable>("expected");

        QTest::newRow("end of update") << QStringList {"/opt/kavo/Kavo.V5", "-endUpdate", "-state",
                                                       "Success",           "-version",   "1.2.3.4"}
                                       << ArgumentTable {
                                              {"-endUpdate", {}}, {"-state", {"Success"}}, {"-version", {"1.2.3.4"}}};
        QTest::newRow("values then bare switch")
            << QStringList {"-a", "1", "2", "-b"} << ArgumentTable {{"-a", {"1", "2"}}, {"-b", {}}};
        QTest::newRow("repeated switch keeps last")
            << QStringList {"-a", "1", "-a", "2"} << ArgumentTable {{"-a", {"2"}}};
        QTest::newRow("no switch") << QStringList {"x", "y"} << ArgumentTable {};
        QTest::newRow("negative number is a switch")
            << QStringList {"-v", "-1"} << ArgumentTable {{"-v", {}}, {"-1", {}}};
        QTest::newRow("case kept") << QStringList {"-endupdate", "-endUpdate", "x"}
                                   << ArgumentTable {{"-endupdate", {}}, {"-endUpdate", {"x"}}};
        QTest::newRow("empty") << QStringList {} << ArgumentTable {};
    }

    void parseWords()
    {
        QFETCH(QStringList, words);
        QFETCH(ArgumentTable, expected);
        QCOMPARE(ArgmentParser::parse(words), expected);
    }

    void parseCommaText()
    {
        const ArgumentTable expected {{"-a", {"1", "", "2"}}};
        QCOMPARE(ArgmentParser::parse(QStringLiteral("-a,1,,2")), expected);
    }

    void parseArgv()
    {
        QByteArray program("prog"), sw("-app"), value("演示");
        char *argv[] = {program.data(), sw.data(), value.data()};
        const ArgumentTable expected {{"-app", {QStringLiteral("演示")}}};
        QCOMPARE(ArgmentParser::parse(3, argv), expected);
    }
};

QTEST_MAIN(tst_ArgmentParser)
#include "tst_argmentparser.moc"
