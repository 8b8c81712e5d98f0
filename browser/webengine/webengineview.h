#pragma once

#include "browser/bridgedispatcher.h"
#include "browser/webview.h"

#include <QJsonArray>

class QWebEngineView;
class WebEnginePage;

// The page view on QtWebEngine. The page runs in another process, so the bridge is a script that
// every new main-frame document runs first: it asks this view, through a synchronous prompt,
// whether its document gets the bridge, and then makes each method call a synchronous message
// that this view answers on the GUI thread with the call's value and the events the call raised.
// Trust is decided here from the origin the engine reports for the calling frame; each trusted
// document gets a token that its calls and the scripts run for it must carry, so nothing meant for
// one document reaches a later one.
class WebEngineView : public WebView
{
    Q_OBJECT
    Q_DISABLE_COPY(WebEngineView)
public:
    explicit WebEngineView(QWidget *parent = nullptr);
    ~WebEngineView() override;

    static QString name() { return QStringLiteral("webengine"); }
    static void prepareProcess();
    static void clearCaches();
    static bool isPrivateBrowsing() { return false; }

    void load(const QUrl &url) override;
    void setHtml(const QString &html, const QUrl &baseUrl = QUrl()) override;
    QUrl url() const override;
    QUrl requestedUrl() const override;
    QString loadErrorString() const override { return m_loadError; }
    QString title() const override;
    QString documentOrigin() const override;
    QAction *action(Action action) const override;
    void runScript(const QString &script) override;
    void evaluate(const QString &script, const std::function<void(const QVariant &)> &done) override;
    void toPlainText(const std::function<void(const QString &)> &done) override;
    void raiseEvent(const PageEvent::Event &event) override;
    void publishObject(const QString &name, QObject *object) override;
    QWidget *inspector(QWidget *parent) override;
    QWidget *inputWidget() const override;

    WebEnginePage *page() const { return m_page; }
    bool reloadInstead() { return reloadsFailedUrl(); }

    // The answer to a prompt of the page (text and default value): handled is false for an
    // ordinary prompt of the page.
    QString answerBridge(const QUrl &securityOrigin, const QString &text, const QString &message, bool *handled);

private:
    QJsonObject startDocument(const QString &origin);
    QJsonObject answerCall(const QJsonObject &message, const QString &origin);
    QJsonObject answerBatch(const QJsonObject &message, const QString &origin);
    void endDocument();
    QString guarded(const QString &script) const;

    QWebEngineView *m_view = nullptr;
    WebEnginePage *m_page = nullptr;
    QWidget *m_inspector = nullptr;
    BridgeDispatcher m_dispatcher;
    // The document that has the bridge now; empty while the document shown has none.
    QString m_loadError;
    // The address of the navigation under way or last ended; the engine's requested URL stays
    // the last committed document's when a navigation fails.
    QUrl m_navigationUrl;
    QString m_documentToken;
    QString m_documentOrigin;
    QJsonArray m_published;
    bool m_starting = false;
    int m_callDepth = 0;
    QJsonArray m_callEvents;
    // The pieces of a long message so far, and the origin that sent them.
};
