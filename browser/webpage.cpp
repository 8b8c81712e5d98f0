#include "webpage.h"

#include "browsercontext.h"
#include "browserwindow.h"
#include "pagemanager.h"
#include "webview.h"

#include "network/networkaccessmanager.h"

#include <QWebFrame>

WebPage::WebPage(QObject *parent)
    : QWebPage(parent)
{
    setNetworkAccessManager(BrowserContext::networkAccessManager());
}

void WebPage::triggerAction(WebAction action, bool checked)
{
    if ((action == Reload || action == ReloadAndBypassCache) && m_reloadUrl.isValid()) {
        mainFrame()->load(m_reloadUrl);
        return;
    }
    QWebPage::triggerAction(action, checked);
}

QWebPage *WebPage::createWindow(WebWindowType type)
{
    Q_UNUSED(type);
    BrowserWindow *window = PageManager::createWindow(QUrl(), nullptr, Qt::WindowFlags());
    // The engine loads the requested address into this page; this engine does not show the
    // page's window itself.
    window->show();
    return window->webView()->page();
}

QObject *WebPage::createPlugin(const QString &classId, const QUrl &url, const QStringList &paramNames,
                               const QStringList &paramValues)
{
    return QWebPage::createPlugin(classId, url, paramNames, paramValues);
}
