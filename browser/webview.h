#pragma once

#include <QWebView>

class WebPage;

// The view every window shows: sets the engine's process-wide settings, owns its page and
// raises "kavo.window.loaded" in the page after each load.
class WebView : public QWebView
{
    Q_OBJECT
    Q_DISABLE_COPY(WebView)
public:
    explicit WebView(QWidget *parent = nullptr);
    ~WebView() override;

    WebPage *page() const { return m_page; }

private slots:
    void pageLoadFinshed(bool ok);

private:
    WebPage *m_page = nullptr;
    QMetaObject::Connection m_loadConnection;
};
