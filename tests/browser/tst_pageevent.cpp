#include "browser/pageevent.h"

#include <QJSEngine>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

namespace {

// A script that gives event to the page as data, the way the program answers a bridge call that
// raised it: the page's own bridge script starts with one object, and that object's call comes
// back with the event, which the bridge script dispatches.
QString asData(const PageEvent::Event &event)
{
    QFile file(qEnvironmentVariable("KAVO_SOURCE_DIR") + QStringLiteral("/browser/webengine/bridge.js"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("throw new Error('no bridge script');");
    const QJsonObject caller{{QStringLiteral("name"), QStringLiteral("Caller")},
                             {QStringLiteral("$kavoObject"), 1},
                             {QStringLiteral("methods"), QJsonArray{QStringLiteral("call")}}};
    const QJsonObject start{{QStringLiteral("doc"), QStringLiteral("d")},
                            {QStringLiteral("objects"), QJsonArray{caller}}};
    const QJsonObject answer{{QStringLiteral("events"), QJsonArray{event.toJson()}}};
    const QJsonArray answers{QString::fromUtf8(QJsonDocument(start).toJson()),
                             QString::fromUtf8(QJsonDocument(answer).toJson())};
    return QStringLiteral("var answers = %1; window.prompt = function () { return answers.shift(); };\n"
                          "%2\nCaller.call();")
        .arg(QString::fromUtf8(QJsonDocument(answers).toJson(QJsonDocument::Compact)),
             QString::fromUtf8(file.readAll()));
}

// Both forms of an event, which a page must not be able to tell apart: the script and the data.
void addForms(const char *name, const PageEvent::Event &event, const QString &expected)
{
    QTest::newRow(name) << event.script << expected;
    QTest::newRow(qPrintable(QStringLiteral("%1 as data").arg(QLatin1String(name)))) << asData(event) << expected;
}

} // namespace

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

    // Every event script runs against a stand-in document that records what is dispatched.
    void eventScriptsDispatch_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("expected");
        const QString hostile = QStringLiteral("a'b\\c\r\n</x>\u2028");
        addForms("picture add", PageEvent::cameraPictureAdd(true, hostile),
                 QStringLiteral("kavo.camera.picture.add|true|filename=") + hostile + QStringLiteral("|list=")
                     + hostile);
        addForms("picture add failed", PageEvent::cameraPictureAdd(false, QStringLiteral("x")),
                 QStringLiteral("kavo.camera.picture.add|false|filename=x|list="));
        addForms("picture busy", PageEvent::cameraPictureBusy(),
                 QStringLiteral("kavo.camera.picture.busy|false|message=busy|list="));
        addForms("picture cancel", PageEvent::cameraPictureCancel(),
                 QStringLiteral("kavo.camera.picture.cancel|false||list="));
        addForms("picture clear", PageEvent::cameraPictureClear(),
                 QStringLiteral("kavo.camera.picture.clear|true||list="));
        addForms("notification", PageEvent::deviceNotification(42),
                 QStringLiteral("kavo.device.notification|true|id=42|list="));
        addForms("remote failure", PageEvent::remoteDataFailure(QStringLiteral("r'1"), hostile),
                 QStringLiteral("kavo.device.remote.data|false|id=r'1,response=,error=") + hostile
                     + QStringLiteral("|list="));
        addForms("remote success", PageEvent::remoteDataSuccess(QStringLiteral("7"), hostile, 200, {}),
                 QStringLiteral("kavo.device.remote.data|true|id=7,response=") + hostile
                     + QStringLiteral(",status=200|list="));
        addForms("remote success with headers",
                 PageEvent::remoteDataSuccess(QStringLiteral("8"), QString(), 404,
                                              {{QStringLiteral("X-Q"), hostile},
                                               {QStringLiteral("jsonmessage"), hostile},
                                               {QStringLiteral("JsonMessage"), hostile}}),
                 QStringLiteral("kavo.device.remote.data|true|id=8,response=,status=404,X-Q=") + hostile
                     + QStringLiteral("|list="));
        addForms("upload", PageEvent::fileUpload(false, hostile),
                 QStringLiteral("kavo.file.upload|false|localURL=") + hostile + QStringLiteral("|list="));
        addForms("upload failure", PageEvent::fileUploadFailure(hostile, QStringLiteral("Code:1")),
                 QStringLiteral("kavo.file.upload|false|localURL=") + hostile + QStringLiteral(",error=Code:1|list="));
        addForms("upload busy", PageEvent::fileUploadBusy(),
                 QStringLiteral("kavo.file.upload.busy|false|message=busy|list="));
        addForms("update end ok", PageEvent::updateEnd(true, QStringLiteral("5.0.0.1"), QStringLiteral("成功啦哈哈！")),
                 QStringLiteral("kavo.update.end|true|version=5.0.0.1,description=成功啦哈哈！|list="));
        addForms("update end failed", PageEvent::updateEnd(false, QStringLiteral("5'1"), QStringLiteral("x")),
                 QStringLiteral("kavo.update.end|false|version=5'1,error=x|list="));
        // The error text may carry a server's words: it is escaped like every other value.
        addForms("update error", PageEvent::updateError(QStringLiteral("5.0.0.1"), hostile),
                 QStringLiteral("kavo.update.error|false|error=") + hostile
                     + QStringLiteral(",version=5.0.0.1,error=undefined|list="));
        addForms("window loaded", PageEvent::windowLoaded(hostile),
                 QStringLiteral("kavo.window.loaded|false|title=") + hostile + QStringLiteral("|list=|window"));
    }

    void eventScriptsDispatch()
    {
        QFETCH(QString, script);
        QFETCH(QString, expected);
        QJSEngine engine;
        const QJSValue setup = engine.evaluate(
            QStringLiteral("var window = this; var Kavo = {picturelist: []}; var seen = [];"
                           "var document = { createEvent: function(k) { return { initEvent: function(n, b, c) {"
                           "  this.type = n; this.bubbles = b; this.cancelable = c; } }; },"
                           "  dispatchEvent: function(e) { seen.push(e); } };"
                           "function describe() { var e = seen[0]; var f = [];"
                           "  ['id','filename','message','response','localURL','title','error'].forEach(function(k) {"
                           "    if (e[k] !== undefined) f.push(k + '=' + e[k]); });"
                           "  if (e.extras && e.extras.status) f.push('status=' + e.extras.status);"
                           "  if (e.extras && e.extras.headers) Object.keys(e.extras.headers).forEach(function(k) {"
                           "    f.push(k + '=' + e.extras.headers[k]); });"
                           "  if (e.info) { f.push('version=' + e.info.version);"
                           "    f.push(e.info.description !== undefined ? 'description=' + e.info.description : "
                           "'error=' + e.info.error); }"
                           "  return seen.length + ':' + e.type + '|' + e.success + '|' + f.join(',') + '|list=' +"
                           "    Kavo.picturelist.join(';')"
                           "    + (e.bubbles && e.cancelable ? '' : '!flags')"
                           "    + (e.window === window ? '|window' : ''); }"));
        QVERIFY(!setup.isError());
        const QJSValue run = engine.evaluate(script);
        QVERIFY2(!run.isError(), qPrintable(run.toString() + QStringLiteral(" in ") + script));
        QCOMPARE(engine.evaluate(QStringLiteral("describe()")).toString(), QStringLiteral("1:") + expected);
    }

    // The texts as pages have always received them, blanks and tabs included: page code that
    // inspects or patches these scripts depends on every character.
    void exactScriptTexts_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("expected");
        QTest::newRow("picture add") << PageEvent::cameraPictureAdd(true, QStringLiteral("picCache_0.png")).script
                                     << QStringLiteral("Kavo.picturelist.push('picCache_0.png');"
                                                       "var ev = document.createEvent('Events');\t\t\t\t\t\t\t   "
                                                       "ev.initEvent('kavo.camera.picture.add',true,true);ev.success="
                                                       "true;ev.filename='picCache_0.png';document.dispatchEvent(ev);");
        QTest::newRow("picture add failed") << PageEvent::cameraPictureAdd(false, QStringLiteral("/tmp/x")).script
                                            << QStringLiteral("var ev = document.createEvent('Events');\t\t\t\t\t\t\t   "
                                                              "ev.initEvent('kavo.camera.picture.add',true,true);"
                                                              "ev.success=false;ev.filename='/tmp/x';"
                                                              "document.dispatchEvent(ev);");
        QTest::newRow("picture busy") << PageEvent::cameraPictureBusy().script
                                      << QStringLiteral("var e = document.createEvent('Events');\t\te.initEvent("
                                                        "'kavo.camera.picture.busy',true,true);\t\te.success=false;"
                                                        "e.message='busy';document.dispatchEvent(e);");
        QTest::newRow("picture cancel") << PageEvent::cameraPictureCancel().script
                                        << QStringLiteral("var ev = document.createEvent('Events');\t\t\t\t\t "
                                                          "ev.initEvent('kavo.camera.picture.cancel',true,true);"
                                                          "\t\t\t\t\t ev.success=false;document.dispatchEvent(ev);");
        QTest::newRow("picture clear") << PageEvent::cameraPictureClear().script
                                       << QStringLiteral("Kavo.picturelist = [];var ev = document.createEvent('Events');"
                                                         " \t  ev.initEvent('kavo.camera.picture.clear',true,true); \t  "
                                                         "ev.success=true;document.dispatchEvent(ev);");
        QTest::newRow("notification") << PageEvent::deviceNotification(17).script
                                      << QStringLiteral("var ev = document.createEvent('Events');\t\t\t\t\t\t\t   "
                                                        "ev.initEvent('kavo.device.notification',true,true);ev.success="
                                                        "true;ev.id='17';document.dispatchEvent(ev);");
        QTest::newRow("remote failure")
            << PageEvent::remoteDataFailure(QStringLiteral("r1"), QStringLiteral("boom")).script
            << QStringLiteral("var e = document.createEvent('Events');e.initEvent('kavo.device.remote.data',true,true);"
                              "e.success=false;e.id='r1';e.response='';e.extras={};e.error='boom';"
                              "document.dispatchEvent(e);");
        QTest::newRow("remote success")
            << PageEvent::remoteDataSuccess(QStringLiteral("r2"), QStringLiteral("ok"), 200, {}).script
            << QStringLiteral("var e = document.createEvent('Events');e.initEvent('kavo.device.remote.data',true,true);"
                              "e.success=true;e.id='r2';e.response='ok';e.extras={status:200,headers: {} };"
                              "document.dispatchEvent(e);");
        QTest::newRow("upload ok") << PageEvent::fileUpload(true, QStringLiteral("a.png")).script
                                   << QStringLiteral("var e = document.createEvent('Events');e.initEvent("
                                                     "'kavo.file.upload',true,true);e.success=true;e.localURL='a.png';"
                                                     "document.dispatchEvent(e);");
        QTest::newRow("upload failed") << PageEvent::fileUpload(false, QStringLiteral("a.png")).script
                                       << QStringLiteral("var e = document.createEvent('Events');e.initEvent("
                                                         "'kavo.file.upload',true,true);e.success=false;"
                                                         "e.localURL='a.png';document.dispatchEvent(e);");
        QTest::newRow("upload busy") << PageEvent::fileUploadBusy().script
                                     << QStringLiteral("var e = document.createEvent('Events'); \t\t\t\te.initEvent("
                                                       "'kavo.file.upload.busy',true,true); \t\t\t\te.success=false;"
                                                       "e.message='busy';document.dispatchEvent(e)");
        QTest::newRow("update end ok")
            << PageEvent::updateEnd(true, QStringLiteral("5.0.0.1"), QStringLiteral("成功啦哈哈！")).script
            << QStringLiteral("var ev = document.createEvent('Events'); \t\t\t\t\t\t\t\t\t\t\t ev.initEvent("
                              "'kavo.update.end',true,true); \t\t\t\t\t\t\t\t\t\t\t ev.success=true;"
                              "ev.info={version:'5.0.0.1',description:'成功啦哈哈！'};\t\t\t\t\t\t\t\t  "
                              "document.dispatchEvent(ev);");
        QTest::newRow("update end failed")
            << PageEvent::updateEnd(false, QStringLiteral("5.0.0.1"), QStringLiteral("悲催了，唉~~~")).script
            << QStringLiteral("var ev = document.createEvent('Events'); \t\t\t\t\t\t\t ev.initEvent("
                              "'kavo.update.end',true,true); \t\t\t\t\t\t\t ev.success=false;"
                              "ev.info={version:'5.0.0.1',error:'悲催了，唉~~~'}; \t\t\t\t\t\t\t\t  "
                              "document.dispatchEvent(ev);");
        QTest::newRow("window loaded") << PageEvent::windowLoaded(QStringLiteral("Notes")).script
                                       << QStringLiteral("var ev = document.createEvent('Events');ev.initEvent("
                                                         "'kavo.window.loaded',true,true);ev.success=false;"
                                                         "ev.window=window;ev.title='Notes';document.dispatchEvent(ev);");
    }

    void exactScriptTexts()
    {
        QFETCH(QString, script);
        QFETCH(QString, expected);
        QCOMPARE(script, expected);
    }

    // The switches the updater restarts the program with, turned into the end-of-update script.
    void endOfUpdateArguments_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expected");
        const QString ok = PageEvent::updateEnd(true, QStringLiteral("5.1"), QStringLiteral("成功啦哈哈！")).script;
        const QString failed = PageEvent::updateEnd(false, QStringLiteral("5.1"), QStringLiteral("悲催了，唉~~~")).script;
        const QString prog = QStringLiteral("/opt/kavo/Kavo.V5");
        QTest::newRow("Success") << QStringList{prog, "-endUpdate", "-state", "Success", "-version", "5.1"} << ok;
        QTest::newRow("success lower case") << QStringList{prog, "-endUpdate", "-state", "success", "-version", "5.1"}
                                            << ok;
        QTest::newRow("SUCCESS") << QStringList{prog, "-endUpdate", "-state", "SUCCESS", "-version", "5.1"} << ok;
        QTest::newRow("Failed") << QStringList{prog, "-endUpdate", "-state", "Failed", "-version", "5.1"} << failed;
        QTest::newRow("failed lower case") << QStringList{prog, "-endUpdate", "-state", "failed", "-version", "5.1"}
                                           << failed;
        QTest::newRow("unknown state") << QStringList{prog, "-endUpdate", "-state", "Done", "-version", "5.1"}
                                       << QString();
        QTest::newRow("state padded") << QStringList{prog, "-endUpdate", "-state", " Success", "-version", "5.1"}
                                      << QString();
        QTest::newRow("no -state") << QStringList{prog, "-endUpdate", "-version", "5.1"} << QString();
        QTest::newRow("-state without value") << QStringList{prog, "-endUpdate", "-state", "-version", "5.1"}
                                              << QString();
        QTest::newRow("no -endUpdate") << QStringList{prog, "-state", "Success", "-version", "5.1"} << QString();
        QTest::newRow("first state counts")
            << QStringList{prog, "-endUpdate", "-state", "Failed", "Success", "-version", "5.1"} << failed;
        QTest::newRow("no arguments") << QStringList{prog} << QString();
    }

    void endOfUpdateArguments()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, expected);
        const PageEvent::Event event = PageEvent::endOfUpdate(arguments);
        QCOMPARE(event.script, expected);
        QCOMPARE(event.isValid(), !expected.isEmpty());
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
