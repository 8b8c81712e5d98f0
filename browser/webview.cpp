#include "webview.h"

WebView::WebView(QWidget *parent)
    : QWidget(parent)
{
}

WebView::~WebView() = default;

bool WebView::reloadsFailedUrl()
{
    if (!m_reloadUrl.isValid())
        return false;
    load(m_reloadUrl);
    return true;
}
