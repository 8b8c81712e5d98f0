#include "webkitview.h"

#include "browser/browsercontext.h"
#include "browser/browserwindow.h"
#include "browser/pagemanager.h"

#include "core/fileutils.h"
#include "network/networkaccessmanager.h"
#include "network/userfolders.h"

#include <QAbstractNetworkCache>
#include <QNetworkReply>
#include <QWebFrame>
#include <QWebInspector>
#include <QWebSecurityOrigin>
#include <QWebSettings>
#include <QWebView>

WebKitPage::WebKitPage(WebView *view)
    : QWebPage(view)
    , m_view(view)
{
    setNetworkAccessManager(BrowserContext::networkAccessManager());
    // The engine says only that a load failed; the reason is the failed reply's. A failing
    // document ends its load, so the last failure of this page's main frame is the document's.
    connect(networkAccessManager(), &QNetworkAccessManager::finished, this, [this](QNetworkReply *reply) {
        if (reply->error() != QNetworkReply::NoError && reply->error() != QNetworkReply::OperationCanceledError
            && reply->request().originatingObject() == mainFrame())
            m_loadError = reply->errorString();
    });
}

void WebKitPage::triggerAction(WebAction action, bool checked)
{
    if ((action == Reload || action == ReloadAndBypassCache) && static_cast<WebKitView *>(m_view)->reloadInstead())
        return;
    QWebPage::triggerAction(action, checked);
}

QWebPage *WebKitPage::createWindow(WebWindowType type)
{
    Q_UNUSED(type);
    return static_cast<WebKitView *>(WebView::openedBy(m_view))->page();
}

WebKitView::WebKitView(QWidget *parent)
    : WebView(parent)
{
    QWebSettings *settings = QWebSettings::globalSettings();
    settings->setAttribute(QWebSettings::DeveloperExtrasEnabled, true);
    settings->setAttribute(QWebSettings::LocalStorageEnabled, true);
    settings->setAttribute(QWebSettings::OfflineStorageDatabaseEnabled, true);
    settings->setAttribute(QWebSettings::JavascriptEnabled, true);
    settings->setAttribute(QWebSettings::JavascriptCanOpenWindows, true);
    QWebSettings::setOfflineStoragePath(absolutePath(QStringLiteral("data")));
    // Without a path the engine keeps localStorage for the session only. A page takes the path
    // when it is made, and the first page to use localStorage fixes it for all: it is set
    // before this view's page exists.
    settings->setLocalStoragePath(UserFolders::data() + QStringLiteral("/webkit"));

    m_view = new QWebView(this);
    m_page = new WebKitPage(this);
    m_view->setPage(m_page);
    embed(m_view);

    connect(m_page, &QWebPage::loadStarted, m_page, &WebKitPage::clearLoadError);
    connect(m_page, &QWebPage::loadStarted, this, &WebView::loadStarted);
    connect(m_page, &QWebPage::loadProgress, this, &WebView::loadProgress);
    connect(m_page, &QWebPage::loadFinished, this, &WebView::loadFinished);
    connect(m_page, &QWebPage::geometryChangeRequested, this, &WebView::geometryChangeRequested);
    connect(m_page->mainFrame(), &QWebFrame::titleChanged, this, &WebView::titleChanged);
    connect(m_page->mainFrame(), &QWebFrame::urlChanged, this, &WebView::urlChanged);
    connect(m_page->mainFrame(), &QWebFrame::javaScriptWindowObjectCleared, this, &WebKitView::onObjectsCleared);
}

WebKitView::~WebKitView()
{
    // The page goes before the view's own members: no signal of it may reach a half-gone view.
    m_page->disconnect(this);
    m_page->mainFrame()->disconnect(this);
}

void WebKitView::load(const QUrl &url)
{
    m_view->load(url);
}

void WebKitView::setHtml(const QString &html, const QUrl &baseUrl)
{
    m_view->setHtml(html, baseUrl);
}

QUrl WebKitView::url() const
{
    return m_page->mainFrame()->url();
}

QUrl WebKitView::requestedUrl() const
{
    return m_page->mainFrame()->requestedUrl();
}

QString WebKitView::title() const
{
    return m_view->title();
}

QString WebKitView::documentOrigin() const
{
    const QWebSecurityOrigin security = m_page->mainFrame()->securityOrigin();
    return BrowserContext::originOf(security.scheme(), security.host(), security.port());
}

QAction *WebKitView::action(Action action) const
{
    switch (action) {
    case Back:
        return m_page->action(QWebPage::Back);
    case Forward:
        return m_page->action(QWebPage::Forward);
    case Reload:
        return m_page->action(QWebPage::Reload);
    case Stop:
        return m_page->action(QWebPage::Stop);
    }
    return nullptr;
}

bool WebKitView::isTrusted() const
{
    return trustsDocument(documentOrigin(), url());
}

void WebKitView::runScript(const QString &script)
{
    // Events and page globals are for the application's own documents only.
    if (isTrusted())
        m_page->mainFrame()->evaluateJavaScript(script);
}

void WebKitView::evaluate(const QString &script, const std::function<void(const QVariant &)> &done)
{
    const QVariant value = isTrusted() ? m_page->mainFrame()->evaluateJavaScript(script) : QVariant();
    if (done)
        done(value);
}

void WebKitView::toPlainText(const std::function<void(const QString &)> &done)
{
    if (done)
        done(m_page->mainFrame()->toPlainText());
}

void WebKitView::raiseEvent(const PageEvent::Event &event)
{
    // Calls are synchronous here: a listener runs inside the call that raised its event.
    runScript(event.script);
}

void WebKitView::publishObject(const QString &name, QObject *object)
{
    if (m_publishing)
        m_page->mainFrame()->addToJavaScriptWindowObject(name, object);
}

QWidget *WebKitView::inspector(QWidget *parent)
{
    if (!m_inspector) {
        m_inspector = new QWebInspector(parent);
        m_inspector->setPage(m_page);
    }
    return m_inspector;
}

QWidget *WebKitView::inputWidget() const
{
    return m_view;
}

void WebKitView::onObjectsCleared()
{
    m_publishing = true;
    emit documentStarting(documentOrigin());
    m_publishing = false;
    // Calls cost microseconds here, so Kavo.batch is a loop in the page; it exists so that pages
    // written for an engine whose calls are messages run unchanged.
    runScript(QStringLiteral(
        "(window.Kavo = window.Kavo || {webRoot: '', picturelist: []}).batch = function (calls) {"
        "  return (calls || []).map(function (call) {"
        "    if (!Array.isArray(call) || call[0] === null || typeof call[0] !== 'object'"
        "        || typeof call[0][call[1]] !== 'function')"
        "      throw new TypeError('Kavo.batch: each call is [bridge object, method name, [arguments]]');"
        "    return call[0][call[1]].apply(call[0], Array.isArray(call[2]) ? call[2] : []);"
        "  });"
        "};"));
}

void WebKitView::clearCaches()
{
    // Zero capacities make the engine drop what it holds in memory.
    const int pages = QWebSettings::maximumPagesInCache();
    QWebSettings::setMaximumPagesInCache(0);
    QWebSettings::setObjectCacheCapacities(0, 0, 0);
    QWebSettings::setObjectCacheCapacities(0x200000, 0x600000, 0x800000);
    QWebSettings::setMaximumPagesInCache(pages);
    if (QAbstractNetworkCache *cache = BrowserContext::networkAccessManager()->cache())
        cache->clear();
}

bool WebKitView::isPrivateBrowsing()
{
    return QWebSettings::globalSettings()->testAttribute(QWebSettings::PrivateBrowsingEnabled);
}
