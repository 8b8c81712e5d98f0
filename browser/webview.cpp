#include "webview.h"

#include "browser/browsercontext.h"
#include "browser/browserwindow.h"
#include "browser/pagemanager.h"

#include <QVBoxLayout>

WebView::WebView(QWidget *parent)
    : QWidget(parent)
{
}

WebView::~WebView() = default;

void WebView::embed(QWidget *engineView)
{
    engineView->setAcceptDrops(false);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(engineView);
    setFocusProxy(engineView);
}

bool WebView::reloadsFailedUrl()
{
    if (!m_reloadUrl.isValid())
        return false;
    load(m_reloadUrl);
    return true;
}

bool WebView::trustsDocument(const QString &origin, const QUrl &url) const
{
    return !m_bridgeRefused && BrowserContext::isTrustedDocument(origin, url);
}

WebView *WebView::openedBy(const WebView *opener)
{
    BrowserWindow *window = PageManager::createPageWindow();
    if (opener && !opener->trustsDocument(opener->documentOrigin(), opener->url()))
        window->webView()->refuseBridge();
    // The engine loads the requested address into this page; it does not show the window itself.
    window->show();
    return window->webView();
}
