#include "webview.h"

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
