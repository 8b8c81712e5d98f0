#pragma once

#include "browser/webview.h"

#include <QWebPage>

class QWebInspector;
class QWebView;

// QtWebKit's page: loads through the program's one network access manager, opens a registered
// browser window whenever script or a link asks for a new one, and reloads the failed address
// instead of the error text.
class WebKitPage : public QWebPage
{
    Q_OBJECT
    Q_DISABLE_COPY(WebKitPage)
public:
    explicit WebKitPage(WebView *view);

    void triggerAction(WebAction action, bool checked = false) override;
    // Why the main frame's last load failed, from its network reply.
    QString loadError() const { return m_loadError; }
    void clearLoadError() { m_loadError.clear(); }

protected:
    QWebPage *createWindow(WebWindowType type) override;

private:
    WebView *m_view;
    QString m_loadError;
};

// The page view on QtWebKit: bridge objects are QtWebKit's own window objects, calls are
// synchronous and scripts run at once.
class WebKitView : public WebView
{
    Q_OBJECT
    Q_DISABLE_COPY(WebKitView)
public:
    explicit WebKitView(QWidget *parent = nullptr);
    ~WebKitView() override;

    static QString name() { return QStringLiteral("webkit"); }
    static void prepareProcess() {}
    static void clearCaches();
    static bool isPrivateBrowsing();

    void load(const QUrl &url) override;
    void setHtml(const QString &html, const QUrl &baseUrl = QUrl()) override;
    QUrl url() const override;
    QUrl requestedUrl() const override;
    QString loadErrorString() const override { return m_page->loadError(); }
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

    WebKitPage *page() const { return m_page; }
    bool reloadInstead() { return reloadsFailedUrl(); }

private:
    bool isTrusted() const;
    void onObjectsCleared();

    QWebView *m_view = nullptr;
    WebKitPage *m_page = nullptr;
    QWebInspector *m_inspector = nullptr;
    bool m_publishing = false;
};
