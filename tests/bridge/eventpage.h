#pragma once

#include "browser/browserwindow.h"
#include "tests/pagescript.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

// A real browser window showing a page that records every desktop event it hears, with the
// page's own Kavo object, as the bridge objects expect.
class EventPage
{
public:
    EventPage() { load(); }

    // Loads the recording page (again): a new script environment with a new set of objects.
    void load() { QVERIFY(PageScript::waitForLoad(window.webView(), [this] { startLoad(); })); }

    // The same without waiting: QtWebKit shows the new page at once, QtWebEngine once the page is
    // free (not while it waits for a bridge call to return).
    void startLoad()
    {
        PageScript::startTrusted(window.webView(), QStringLiteral(R"(<html><body><script>
var Kavo = {picturelist: []};
var events = [];
var progress = [];
function onProgress(sent, total) { progress.push([sent, total]); }
['kavo.file.upload', 'kavo.file.upload.busy', 'kavo.camera.picture.add', 'kavo.camera.picture.busy',
 'kavo.camera.picture.cancel', 'kavo.camera.picture.clear', 'kavo.device.notification', 'kavo.update.error',
 'kavo.update.end'].forEach(function (name) {
    document.addEventListener(name, function (e) {
        events.push({type: e.type, success: e.success, localURL: e.localURL, error: e.error,
                     filename: e.filename, id: e.id, message: e.message, version: e.info && e.info.version,
                     list: Kavo.picturelist.slice()});
    });
});
</script></body></html>)"));
    }

    // Makes object reachable from the page's script under name, as the window publishes its own:
    // the page loads again to get it.
    void publish(const QString &name, QObject *object)
    {
        PageScript::publish(window.webView(), name, object);
        load();
    }

    // The page's own bridge object of type T, as the window published it.
    template <typename T>
    T *bridgeObject()
    {
        for (QObject *object : window.bridgeObjects()) {
            if (auto *found = qobject_cast<T *>(object))
                return found;
        }
        return nullptr;
    }

    QVariant run(const QString &script) { return PageScript::evaluate(window, script); }
    QJsonArray read(const QString &expression) { return PageScript::json(window, expression).toArray(); }
    QJsonArray events() { return read(QStringLiteral("events")); }
    QJsonArray progress() { return read(QStringLiteral("progress")); }
    QJsonArray pictureList() { return read(QStringLiteral("Kavo.picturelist")); }
    QJsonObject event(int index) { return events().at(index).toObject(); }

    BrowserWindow window;
};
