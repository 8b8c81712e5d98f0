// Every ```js block of docs/page-api.md runs in a real window against the real bridge, in the page
// of a small application served by the program's own HTTP server. An example passes when it
// throws nothing and every kavo.* listener it registers has run without throwing; where only a
// person could make an event happen (a click on a notification, Escape in the screen grab, a
// restart after an update), the test does what that person would.

#include "bridge/kavocamera.h"
#include "bridge/kavonotification.h"
#include "bridge/screengrab.h"
#include "browser/browsercontext.h"
#include "browser/browserwindow.h"
#include "browser/host.h"
#include "browser/pageevent.h"
#include "browser/webview.h"
#include "core/config.h"
#include "core/fileutils.h"
#include "httpserver/httpserver.h"
#include "widgets/desktopalertwidget.h"
#include "tests/pagescript.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// The page the examples run in: the skeleton page-api.md shows, plus a recorder that wraps every
// kavo.* listener so the test sees whether it ran and what it threw.
const char *const ExamplePage = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>MyApp</title>
<script>
var Kavo = window.Kavo || { webRoot: '', picturelist: [] };
var kavoDocTest = { listeners: [], errors: [] };
(function () {
    var add = document.addEventListener;
    document.addEventListener = function (type, listener, capture) {
        if (String(type).indexOf('kavo.') !== 0)
            return add.call(this, type, listener, capture);
        var record = { type: String(type), calls: 0 };
        kavoDocTest.listeners.push(record);
        return add.call(this, type, function (e) {
            record.calls++;
            try {
                return listener.call(this, e);
            } catch (err) {
                kavoDocTest.errors.push(record.type + ' listener: ' + err);
            }
        }, capture);
    };
    window.onerror = function (message, source, line) {
        kavoDocTest.errors.push(message + ' (line ' + line + ')');
    };
})();
</script></head><body></body></html>
)";

struct Example
{
    QString name;
    QString code;
};

// The fenced js blocks of a Markdown text, each named after the heading above it.
QVector<Example> jsBlocks(const QString &markdown)
{
    QVector<Example> examples;
    QString heading = QStringLiteral("top");
    QMap<QString, int> perHeading;
    const QStringList lines = markdown.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines.at(i);
        if (line.startsWith(QLatin1Char('#'))) {
            heading = line.section(QLatin1Char(' '), 1).trimmed();
            continue;
        }
        if (line.trimmed() != QLatin1String("```js"))
            continue;
        QStringList code;
        for (++i; i < lines.size() && lines.at(i).trimmed() != QLatin1String("```"); ++i)
            code << lines.at(i);
        const int n = ++perHeading[heading];
        examples.append({QStringLiteral("%1 #%2").arg(heading).arg(n), code.join(QLatin1Char('\n'))});
    }
    return examples;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

} // namespace

class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls << url; }
};

class tst_DocExamples : public QObject
{
    Q_OBJECT

    QString m_appData;
    QString m_pageUrl;
    QTemporaryDir m_pictures;
    UrlCatcher m_urls;
    std::unique_ptr<HttpServer> m_server;

    bool makeDatabase()
    {
        const QString path = m_appData + QStringLiteral("/app.db");
        QFile::remove(path);
        bool ok = false;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("docs-setup"));
            db.setDatabaseName(path);
            ok = db.open()
                && QSqlQuery(db).exec(QStringLiteral(
                    "create table notes (id integer primary key, title text, created text)"));
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("docs-setup"));
        return ok;
    }

    static QJsonObject state(BrowserWindow &window)
    {
        return PageScript::json(window, QStringLiteral("kavoDocTest")).toObject();
    }

    static QStringList waitingListeners(const QJsonObject &state)
    {
        QStringList waiting;
        for (const QJsonValue &value : state.value(QStringLiteral("listeners")).toArray()) {
            const QJsonObject record = value.toObject();
            if (record.value(QStringLiteral("calls")).toInt() == 0)
                waiting << record.value(QStringLiteral("type")).toString();
        }
        return waiting;
    }

    // Does what the user (or the updater) would do to raise an event nothing else raises here.
    static void act(BrowserWindow &window, const QString &event)
    {
        if (event == QLatin1String("kavo.window.loaded")) {
            window.raiseEvent(PageEvent::windowLoaded(window.webView()->title()));
        } else if (event == QLatin1String("kavo.update.end")) {
            window.raiseEvent(PageEvent::updateEnd(true, QStringLiteral("1.0.0.1"), QStringLiteral("成功啦哈哈！")));
        } else if (event == QLatin1String("kavo.camera.picture.cancel")) {
            if (ScreenGrab *grab = KavoCamera::openScreenGrab())
                QTest::keyClick(grab, Qt::Key_Escape);
        } else if (event == QLatin1String("kavo.device.notification")) {
            // A click on the message of the pop-up still shown.
            for (QObject *object : window.bridgeObjects()) {
                auto *notifications = qobject_cast<KavoNotification *>(object);
                if (!notifications)
                    continue;
                for (int id = 0; id < 100; ++id) {
                    if (DesktopAlertWidget *alert = notifications->notification(id)) {
                        QMetaObject::invokeMethod(alert, "onClickLink", Q_ARG(QString, QStringLiteral("127.0.0.1")));
                        return;
                    }
                }
            }
        }
    }

private slots:
    void initTestCase()
    {
        QVERIFY(Host::instance().init());
        m_appData = applicationDir() + QStringLiteral("/data/MyApp");
        QDir(m_appData).removeRecursively();
        QVERIFY(writeFile(m_appData + QStringLiteral("/index.html"), ExamplePage));
        QVERIFY(writeFile(m_appData + QStringLiteral("/hello.json"), QStringLiteral("{\"greeting\":\"你好\"}").toUtf8()));
        QVERIFY(writeFile(m_appData + QStringLiteral("/upload"), "{\"stored\":true}"));

        // The local server's own port: its origin is the one every installation trusts.
        m_server.reset(new HttpServer(applicationDir()));
        QVERIFY2(m_server->listen(QHostAddress::LocalHost, HttpServer::DefaultPort),
                 "port 58899 is taken by another program");
        const QString root = QStringLiteral("http://127.0.0.1:%1/data/MyApp").arg(m_server->serverPort());
        m_pageUrl = root + QStringLiteral("/index.html");
        BrowserContext::setWebRoot(root);
        appConfig().set(QStringLiteral("MyApp"), QString(), QStringLiteral("MyApp"), QString(),
                        QStringLiteral("1.0.0.0"), QString(), 800, 600, QUrl(m_pageUrl));

        // The picture the user picks in the file dialog.
        const QString picture = m_pictures.filePath(QStringLiteral("holiday.png"));
        QImage image(1600, 1200, QImage::Format_RGB32);
        image.fill(Qt::darkCyan);
        QVERIFY(image.save(picture));
        KavoCamera::setFileChooser([picture](const QString &, const QString &, const QString &) { return picture; });
        for (const char *scheme : {"http", "https", "mailto"})
            QDesktopServices::setUrlHandler(QLatin1String(scheme), &m_urls, "open");
    }

    void cleanupTestCase()
    {
        for (const char *scheme : {"http", "https", "mailto"})
            QDesktopServices::unsetUrlHandler(QLatin1String(scheme));
        KavoCamera::setFileChooser(KavoCamera::FileChooser());
        QDir(m_appData).removeRecursively();
    }

    void referenceHasExamplesOfEveryObject()
    {
        QFile file(qEnvironmentVariable("KAVO_SOURCE_DIR") + QStringLiteral("/docs/page-api.md"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QString all;
        for (const Example &example : jsBlocks(QString::fromUtf8(file.readAll())))
            all += example.code;
        for (const char *name : {"KavoFactory", "ClientDb", "KavoDevice", "KavoFile", "KavoCamera",
                                 "KavoNotification", "KavoUpdate", "Kavo.webRoot"})
            QVERIFY2(all.contains(QLatin1String(name)), name);
    }

    // Every function a page finds on a bridge object is declared in kavo.d.ts, so the typings
    // cannot miss a slot the program publishes.
    void typingsDeclareEveryPublishedFunction()
    {
        QFile file(qEnvironmentVariable("KAVO_SOURCE_DIR") + QStringLiteral("/sdk/kavo.d.ts"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString typings = QString::fromUtf8(file.readAll());
        BrowserWindow window{QUrl(m_pageUrl)};
        QSignalSpy ready(&window, &BrowserWindow::pageReady);
        QVERIFY(ready.wait(20000));
        const QJsonArray listed =
            PageScript::json(window, QStringLiteral(
                                 "(function () { var out = [];"
                                 " var objects = {KavoFactory: KavoFactory, KavoDevice: KavoDevice, KavoFile: KavoFile,"
                                 "  KavoCamera: KavoCamera, KavoNotification: KavoNotification, KavoUpdate: KavoUpdate,"
                                 "  ClientDb: KavoFactory.createObject('ClientDb')};"
                                 " for (var o in objects) for (var m in objects[o])"
                                 "  if (typeof objects[o][m] === 'function') out.push(o + '.' + m);"
                                 " return out; })()"))
                .toArray();
        const QStringList names = QVariant(listed.toVariantList()).toStringList();
        // QtWebKit lists each slot by its signature, "getVersion()", QtWebEngine by its name.
        QVERIFY2(names.contains(QStringLiteral("KavoDevice.getVersion()"))
                     || names.contains(QStringLiteral("KavoDevice.getVersion")),
                 QJsonDocument(listed).toJson().constData());
        // What every QObject carries is no part of the page API.
        const QStringList inherited{QStringLiteral("deleteLater"), QStringLiteral("destroyed"),
                                    QStringLiteral("objectNameChanged")};
        for (const QString &name : names) {
            const QString method = name.section(QLatin1Char('.'), 1).section(QLatin1Char('('), 0, 0);
            if (inherited.contains(method))
                continue;
            QVERIFY2(typings.contains(QStringLiteral("    ") + method + QLatin1Char('(')), qPrintable(name));
        }
    }

    void examples_data()
    {
        QTest::addColumn<QString>("code");
        QFile file(qEnvironmentVariable("KAVO_SOURCE_DIR") + QStringLiteral("/docs/page-api.md"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        for (const Example &example : jsBlocks(QString::fromUtf8(file.readAll())))
            QTest::newRow(qPrintable(example.name)) << example.code;
    }

    void examples()
    {
        QFETCH(QString, code);
        QVERIFY(makeDatabase());
        QDir(m_appData + QStringLiteral("/_pictures")).removeRecursively();
        QList<QPointer<QWidget>> before;
        for (QWidget *widget : QApplication::topLevelWidgets())
            before << widget;

        {
            BrowserWindow window{QUrl(m_pageUrl)};
            QSignalSpy ready(&window, &BrowserWindow::pageReady);
            QVERIFY(ready.wait(20000));
            QVERIFY(ready.at(0).at(0).toBool());

            const QString source = QString::fromUtf8(QJsonDocument(QJsonArray{code}).toJson(QJsonDocument::Compact));
            const QVariant thrown = PageScript::evaluate(
                window, QStringLiteral("(function () { try { (0, eval)(%1[0]); return ''; } catch (e) {"
                                       " return String(e) + (e.line ? ' (line ' + e.line + ')' : ''); } })()")
                            .arg(source));
            QVERIFY2(thrown.isValid(), "the example gave no result");
            QVERIFY2(thrown.toString().isEmpty(), qPrintable(thrown.toString()));

            QSet<QString> acted;
            QJsonObject now = state(window);
            QElapsedTimer clock;
            clock.start();
            while (!waitingListeners(now).isEmpty() && now.value(QStringLiteral("errors")).toArray().isEmpty()
                   && clock.elapsed() < 20000) {
                QTest::qWait(100);
                for (const QString &event : waitingListeners(now)) {
                    if (!acted.contains(event) && clock.elapsed() > 300) {
                        acted.insert(event);
                        act(window, event);
                    }
                }
                now = state(window);
            }
            const QJsonArray errors = now.value(QStringLiteral("errors")).toArray();
            QVERIFY2(errors.isEmpty(), QJsonDocument(errors).toJson().constData());
            const QStringList waiting = waitingListeners(now);
            QVERIFY2(waiting.isEmpty(), qPrintable(QStringLiteral("never heard: ") + waiting.join(QLatin1String(", "))));
        }
        // Windows, pop-ups and grabs the example opened go with it.
        if (ScreenGrab *grab = KavoCamera::openScreenGrab())
            grab->close();
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (!before.contains(widget) && !widget->parent())
                widget->deleteLater();
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
};

QTEST_MAIN(tst_DocExamples)
#include "tst_docexamples.moc"
