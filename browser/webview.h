#pragma once

#include <QUrl>
#include <QVariant>
#include <QWidget>

#include "browser/pageevent.h"

#include <functional>

class QAction;

// The page a window shows, whatever engine draws it. A window speaks only to this class; one
// engine's view implements it (browser/webkit or browser/webengine, picked by create()).
// Results an engine can only give later are callbacks here, even where the other could answer
// at once, so callers are written once.
class WebView : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY(WebView)
public:
    enum Action { Back, Forward, Reload, Stop };

    // The only place that picks the engine of this build.
    static WebView *create(QWidget *parent = nullptr);
    // "webkit" or "webengine".
    static QString engineName();
    // What the engine needs of the process before the application object exists.
    static void prepareProcess();
    // Drops what the engine caches in memory and on disk (pages, scripts, pictures).
    static void clearCaches();
    // Whether the engine keeps nothing of a session (cookies then stay in memory only).
    static bool isPrivateBrowsing();

    ~WebView() override;

    // A window a page opens without a size gets this one on both engines (QtWebKit's own).
    QSize sizeHint() const override { return QSize(800, 600); }

    virtual void load(const QUrl &url) = 0;
    // Shows html as a document of its own (the error text of a failed load); with a base URL the
    // document has that URL's origin.
    virtual void setHtml(const QString &html, const QUrl &baseUrl = QUrl()) = 0;
    // The document shown now, after redirects.
    virtual QUrl url() const = 0;
    // The address the current or last load asked for.
    virtual QUrl requestedUrl() const = 0;
    // Why the last load of the main document failed, in the engine's words; empty when it did
    // not fail or the engine gave no reason.
    virtual QString loadErrorString() const = 0;
    virtual QString title() const = 0;
    // The origin of the main document, "scheme://host:port" as BrowserContext::originOf gives it;
    // empty for a document without one.
    virtual QString documentOrigin() const = 0;
    virtual QAction *action(Action action) const = 0;

    // Runs script in the main document without waiting for it; dropped when the document's
    // origin is not trusted.
    virtual void runScript(const QString &script) = 0;
    // Evaluates script in the main document and hands its value (numbers, strings, booleans,
    // arrays and plain objects as QVariant) to done, later or at once; an invalid QVariant for
    // undefined, an error or a document of an untrusted origin.
    virtual void evaluate(const QString &script, const std::function<void(const QVariant &)> &done) = 0;
    // Hands the text the main document shows to done, later or at once. The engine reads it, not
    // page script: a document of an untrusted origin (the error text of a failed load) has it too.
    virtual void toPlainText(const std::function<void(const QString &)> &done) = 0;
    // Raises a page event in the main document: inside the bridge call under way, if any, before
    // that call returns; dropped for a document of an untrusted origin.
    virtual void raiseEvent(const PageEvent::Event &event) = 0;

    // Valid only while documentStarting is delivered: object becomes the page global name of the
    // document that starts. The view does not take ownership.
    virtual void publishObject(const QString &name, QObject *object) = 0;

    // A view of the engine's developer tools for this page, made once, hidden until shown.
    virtual QWidget *inspector(QWidget *parent) = 0;

    // While set, reloading loads this address instead of the current content (the error text
    // that stands in for a page that failed to load).
    void setReloadUrl(const QUrl &url) { m_reloadUrl = url; }
    QUrl reloadUrl() const { return m_reloadUrl; }

    // Whether the main document, of origin (as the engine reports it) at url, gets the bridge,
    // the page globals and page events: a trusted document in a view no untrusted document
    // opened.
    bool trustsDocument(const QString &origin, const QUrl &url) const;
    // For a view an untrusted document opened: its opener can still steer it, so none of its
    // documents ever gets the bridge, wherever it goes.
    void refuseBridge() { m_bridgeRefused = true; }
    // What an engine does for a page of this view that opens a new window: the new window's view,
    // with the bridge refused when the opening document is not trusted.
    static WebView *openedBy(const WebView *opener);

    // The widget input goes to, for the IM plug-in.
    virtual QWidget *inputWidget() const = 0;

signals:
    void loadStarted();
    void loadProgress(int percent);
    void loadFinished(bool ok);
    void titleChanged(const QString &title);
    void urlChanged(const QUrl &url);
    // A new document of the main frame is setting up its script environment: origin is that
    // document's, as the engine reports it. Objects published from a slot of this signal are its
    // page globals; a trusted document's new objects replace the last document's.
    void documentStarting(const QString &origin);
    void geometryChangeRequested(const QRect &geometry);

protected:
    explicit WebView(QWidget *parent = nullptr);
    // Whether reload should load the reload address instead; the engines call it on reload.
    bool reloadsFailedUrl();
    // Fills this view with the engine's own view, which takes the focus and refuses drops.
    void embed(QWidget *engineView);

private:
    QUrl m_reloadUrl;
    bool m_bridgeRefused = false;
};
