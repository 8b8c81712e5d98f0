#pragma once

#include "browser/browsercontext.h"
#include "browser/browserwindow.h"
#include "browser/webpage.h"
#include "browser/webview.h"

#include <QWebFrame>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QtTest>

// A real browser window showing a page that records every desktop event it hears, with the
// page's own Kavo object, as the bridge objects expect.
class EventPage
{
public:
    EventPage() { load(); }

    // Loads the recording page (again): a new script environment with a new set of objects.
    void load()
    {
        // The page stands for one of the application's own.
        BrowserContext::setTrustedOrigins({QStringLiteral("http://127.0.0.1")});
        QSignalSpy loaded(window.webView(), &QWebView::loadFinished);
        window.webView()->setHtml(QStringLiteral(R"(<html><body><script>
var Kavo = {picturelist: []};
var events = [];
var progress = [];
function onProgress(sent, total) { progress.push([sent, total]); }
['kavo.file.upload', 'kavo.file.upload.busy', 'kavo.camera.picture.add', 'kavo.camera.picture.busy',
 'kavo.camera.picture.cancel', 'kavo.camera.picture.clear', 'kavo.device.notification'].forEach(function (name) {
    document.addEventListener(name, function (e) {
        events.push({type: e.type, success: e.success, localURL: e.localURL, error: e.error,
                     filename: e.filename, id: e.id, message: e.message, list: Kavo.picturelist.slice()});
    });
});
</script></body></html>)"),
                                  QUrl(QStringLiteral("http://127.0.0.1/")));
        if (loaded.isEmpty())
            loaded.wait(10000);
    }

    // Makes object reachable from the page's script under name, as the window publishes its own.
    void publish(const QString &name, QObject *object)
    {
        window.webView()->page()->mainFrame()->addToJavaScriptWindowObject(name, object);
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

    QJsonArray read(const QString &expression)
    {
        const QString text = window.evaluateScript(QStringLiteral("JSON.stringify(%1)").arg(expression), QString())
                                 .toString();
        return QJsonDocument::fromJson(text.toUtf8()).array();
    }
    QJsonArray events() { return read(QStringLiteral("events")); }
    QJsonArray progress() { return read(QStringLiteral("progress")); }
    QJsonArray pictureList() { return read(QStringLiteral("Kavo.picturelist")); }
    QJsonObject event(int index) { return events().at(index).toObject(); }

    BrowserWindow window;
};
