#include "webview.h"

#include "browsercontext.h"
#include "webpage.h"

#include "core/fileutils.h"
#include "browser/pageevent.h"

#include <QDebug>
#include <QWebFrame>
#include <QWebSettings>

WebView::WebView(QWidget *parent)
    : QWebView(parent)
    , m_page(new WebPage(this))
{
    setPage(m_page);
    setAcceptDrops(false);
    QWebSettings *settings = QWebSettings::globalSettings();
    settings->setAttribute(QWebSettings::DeveloperExtrasEnabled, true);
    settings->setAttribute(QWebSettings::LocalStorageEnabled, true);
    settings->setAttribute(QWebSettings::OfflineStorageDatabaseEnabled, true);
    settings->setAttribute(QWebSettings::JavascriptEnabled, true);
    settings->setAttribute(QWebSettings::JavascriptCanOpenWindows, true);
    QWebSettings::setOfflineStoragePath(absolutePath(QStringLiteral("data")));
    m_loadConnection = connect(m_page, &QWebPage::loadFinished, this, &WebView::pageLoadFinshed);
}

WebView::~WebView()
{
    disconnect(m_loadConnection);
}

void WebView::pageLoadFinshed(bool ok)
{
    Q_UNUSED(ok);
    if (!BrowserContext::isTrustedFrame(m_page->mainFrame())) {
        qDebug() << "kavo.window.loaded not raised in an untrusted document";
        return;
    }
    // The title is escaped, so a quote in it no longer swallows the event.
    m_page->mainFrame()->evaluateJavaScript(PageEvent::windowLoaded(title()));
}
