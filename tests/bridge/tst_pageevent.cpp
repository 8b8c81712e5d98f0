#include "bridge/pageevent.h"

#include <QJSEngine>
#include <QtTest>

// Escaped values are checked in a real script engine: the literal must read back unchanged.
class tst_PageEvent : public QObject
{
    Q_OBJECT
private slots:
    void literalReadsBackUnchanged_data()
    {
        QTest::addColumn<QString>("value");
        QTest::newRow("plain") << "hello";
        QTest::newRow("chinese") << QStringLiteral("缓存已经清空");
        QTest::newRow("single quote") << "it's";
        QTest::newRow("double quote") << "say \"hi\"";
        QTest::newRow("backslash") << "C:\\path\\x";
        QTest::newRow("crlf") << "a\r\nb\rc\nd";
        QTest::newRow("line separators") << QString::fromUtf16(u"a\u2028b\u2029c");
        QTest::newRow("script end") << "</script><script>alert(1)</script>";
        QTest::newRow("control chars") << QString::fromLatin1("\x01\x1f\t", 3);
        QTest::newRow("injection") << "');alert('x";
        QTest::newRow("empty") << "";
    }

    void literalReadsBackUnchanged()
    {
        QFETCH(QString, value);
        QJSEngine engine;
        const QString escaped = PageEvent::escapeScriptString(value);
        QVERIFY(!escaped.contains(QStringLiteral("</")));
        const QJSValue result = engine.evaluate(QStringLiteral("'") + escaped + QStringLiteral("'"));
        QVERIFY2(!result.isError(), qPrintable(result.toString()));
        QCOMPARE(result.toString(), value);
    }

    void composeEscapesEveryValueInOrder()
    {
        QJSEngine engine;
        const QString script = PageEvent::compose(QStringLiteral("var o={a:'%1',b:'%2'}; o.a + '|' + o.b"),
                                                  {QStringLiteral("x'y%2"), QStringLiteral("%1")});
        QCOMPARE(engine.evaluate(script).toString(), QStringLiteral("x'y%2|%1"));
    }
};

QTEST_MAIN(tst_PageEvent)
#include "tst_pageevent.moc"
