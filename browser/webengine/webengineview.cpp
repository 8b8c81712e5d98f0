#include "webengineview.h"

#include "webenginepage.h"
#include "webengineprofile.h"


#include "browser/browsercontext.h"

#include "network/networkaccessmanager.h"

#include <QAbstractNetworkCache>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTimer>
#include <QVBoxLayout>
#include <QWebEngineSettings>
#include <QWebEngineLoadingInfo>
#include <QWebEngineProfile>
#include <QWebEngineView>

#include <unistd.h>

namespace {
// The bridge script's prompts begin with this; any other prompt is the page's own.
const QString BridgeTag = QStringLiteral("\u0001kavo-bridge\u0001");
const QString NoBridge = QStringLiteral("Kavo: this document has no bridge");

QString newToken()
{
    QRandomGenerator *random = QRandomGenerator::system();
    return QString::number(random->generate64(), 36) + QString::number(random->generate64(), 36);
}

QString reply(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

// The developer tools, made only when first shown: each costs a page of its own.
class DevToolsHost : public QWidget
{
public:
    DevToolsHost(QWebEnginePage *inspected, QWidget *parent)
        : QWidget(parent)
        , m_inspected(inspected)
    {
        auto *layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
    }

protected:
    void showEvent(QShowEvent *event) override
    {
        if (!m_tools && m_inspected) {
            m_tools = new QWebEngineView(this);
            layout()->addWidget(m_tools);
            m_inspected->setDevToolsPage(m_tools->page());
        }
        QWidget::showEvent(event);
    }

private:
    QPointer<QWebEnginePage> m_inspected;
    QWebEngineView *m_tools = nullptr;
};
} // namespace

WebEngineView::WebEngineView(QWidget *parent)
    : WebView(parent)
    , m_view(new QWebEngineView(this))
    , m_page(new WebEnginePage(this))
{
    m_view->setPage(m_page);
    embed(m_view);

    QWebEngineSettings *settings = m_page->settings();
    settings->setAttribute(QWebEngineSettings::JavascriptEnabled, true);
    settings->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, true);
    settings->setAttribute(QWebEngineSettings::LocalStorageEnabled, true);
    // A failed load shows the program's own text, not the engine's error page.
    settings->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);

    connect(m_page, &QWebEnginePage::loadProgress, this, &WebView::loadProgress);
    // The end of a load comes from the loading state, which carries the reason of a failure; the
    // engine's loadFinished comes before it and knows none.
    connect(m_page, &QWebEnginePage::loadingChanged, this, [this](const QWebEngineLoadingInfo &info) {
        switch (info.status()) {
        case QWebEngineLoadingInfo::LoadStartedStatus:
            m_loadError.clear();
            m_navigationUrl = info.url();
            emit loadStarted();
            return;
        case QWebEngineLoadingInfo::LoadSucceededStatus:
            m_loadError.clear();
            emit loadFinished(true);
            return;
        case QWebEngineLoadingInfo::LoadStoppedStatus:
            m_loadError = QStringLiteral("stopped before it ended");
            break;
        case QWebEngineLoadingInfo::LoadFailedStatus:
            // An HTTP error's text is a fragment of the engine's own error page.
            if (info.errorDomain() == QWebEngineLoadingInfo::HttpStatusCodeDomain)
                m_loadError = QStringLiteral("HTTP status %1").arg(info.errorCode());
            else if (info.errorString().isEmpty())
                m_loadError = QStringLiteral("error %1").arg(info.errorCode());
            else
                m_loadError = info.errorString();
            break;
        }
        emit loadFinished(false);
    });
    connect(m_page, &QWebEnginePage::titleChanged, this, &WebView::titleChanged);
    connect(m_page, &QWebEnginePage::geometryChangeRequested, this, &WebView::geometryChangeRequested);
    connect(m_page, &QWebEnginePage::urlChanged, this, [this](const QUrl &url) {
        // A document of another origin that never asked for the bridge (its script may not run,
        // for one in a document without scripts) still ends the last one's.
        const QString origin = BrowserContext::originOf(url);
        if (!m_documentToken.isEmpty() && origin != m_documentOrigin) {
            endDocument();
            // A trusted document gets its objects when its bridge script starts.
            if (!trustsDocument(origin, url)) {
                m_documentOrigin = origin;
                emit documentStarting(origin);
            }
        }
        emit urlChanged(url);
    });
}

WebEngineView::~WebEngineView()
{
    m_page->disconnect(this);
    // The page must go before the profile it uses and before the view that shows it.
    delete m_view;
    delete m_page;
}

void WebEngineView::load(const QUrl &url)
{
    m_page->load(url);
}

void WebEngineView::setHtml(const QString &html, const QUrl &baseUrl)
{
    m_page->setHtml(html, baseUrl);
}

QUrl WebEngineView::url() const
{
    return m_page->url();
}

QUrl WebEngineView::requestedUrl() const
{
    return m_navigationUrl.isEmpty() ? m_page->requestedUrl() : m_navigationUrl;
}

QString WebEngineView::title() const
{
    return m_page->title();
}

QString WebEngineView::documentOrigin() const
{
    return BrowserContext::originOf(m_page->url());
}

QAction *WebEngineView::action(Action action) const
{
    switch (action) {
    case Back:
        return m_page->action(QWebEnginePage::Back);
    case Forward:
        return m_page->action(QWebEnginePage::Forward);
    case Reload:
        return m_page->action(QWebEnginePage::Reload);
    case Stop:
        return m_page->action(QWebEnginePage::Stop);
    }
    return nullptr;
}

QString WebEngineView::guarded(const QString &script) const
{
    // The script runs later, in whatever document is shown then: only in the one it was meant for.
    return QStringLiteral("if (window.__kavoDocument === '%1') {\n%2\n}").arg(m_documentToken, script);
}

void WebEngineView::runScript(const QString &script)
{
    if (!m_documentToken.isEmpty())
        m_page->runJavaScript(guarded(script));
}

void WebEngineView::evaluate(const QString &script, const std::function<void(const QVariant &)> &done)
{
    if (m_documentToken.isEmpty()) {
        QTimer::singleShot(0, this, [done] {
            if (done)
                done(QVariant());
        });
        return;
    }
    m_page->runJavaScript(guarded(script), [done](const QVariant &value) {
        if (done)
            done(value);
    });
}

void WebEngineView::toPlainText(const std::function<void(const QString &)> &done)
{
    m_page->toPlainText([done](const QString &text) {
        if (done)
            done(text);
    });
}

void WebEngineView::raiseEvent(const PageEvent::Event &event)
{
    if (m_documentToken.isEmpty())
        return;
    // Inside a call the page waits for the answer: the event travels with it, as data, and the
    // bridge script dispatches it before the call returns.
    if (m_callDepth > 0)
        m_callEvents.append(event.toJson());
    else
        runScript(event.script);
}

void WebEngineView::publishObject(const QString &name, QObject *object)
{
    if (!m_starting || !object)
        return;
    QJsonObject entry = m_dispatcher.describe(object);
    entry.insert(QStringLiteral("name"), name);
    m_published.append(entry);
}

QWidget *WebEngineView::inspector(QWidget *parent)
{
    if (!m_inspector)
        m_inspector = new DevToolsHost(m_page, parent);
    return m_inspector;
}

QWidget *WebEngineView::inputWidget() const
{
    return m_view;
}

void WebEngineView::endDocument()
{
    m_documentToken.clear();
    m_dispatcher.clear();
    m_published = QJsonArray();
    m_callEvents = QJsonArray();
}

QString WebEngineView::answerBridge(const QUrl &securityOrigin, const QString &text, const QString &message,
                                    bool *handled)
{
    *handled = text == BridgeTag;
    if (!*handled)
        return QString();
    const QString origin = BrowserContext::originOf(securityOrigin);
    const QJsonObject request = QJsonDocument::fromJson(message.toUtf8()).object();
    const QString op = request.value(QStringLiteral("op")).toString();
    if (op == QLatin1String("start"))
        return reply(startDocument(origin));
    // Every call is checked again: the frame asking may be another than the one that started.
    const bool allowed = trustsDocument(origin, m_page->url()) && !m_documentToken.isEmpty()
        && request.value(QStringLiteral("doc")).toString() == m_documentToken;
    if (!allowed)
        return reply({{QStringLiteral("error"), NoBridge}});
    if (op == QLatin1String("call"))
        return reply(answerCall(request, origin));
    if (op == QLatin1String("batch"))
        return reply(answerBatch(request, origin));
    return reply({{QStringLiteral("error"), QStringLiteral("Kavo: unknown request")}});
}

QJsonObject WebEngineView::startDocument(const QString &origin)
{
    if (!trustsDocument(origin, m_page->url())) {
        // An untrusted frame starting is a new document only when the window shows its origin;
        // an iframe of another site cannot end the application's document.
        if (origin.isEmpty() || origin == BrowserContext::originOf(m_page->url())) {
            endDocument();
            m_documentOrigin = origin;
            emit documentStarting(origin);
        }
        return {};
    }
    endDocument();
    m_documentToken = newToken();
    m_documentOrigin = origin;
    m_starting = true;
    emit documentStarting(origin);
    m_starting = false;
    return {{QStringLiteral("doc"), m_documentToken}, {QStringLiteral("objects"), m_published}};
}

QJsonObject WebEngineView::answerCall(const QJsonObject &message, const QString &origin)
{
    Q_UNUSED(origin);
    const QPointer<WebEngineView> self(this);
    ++m_callDepth;
    const BridgeDispatcher::Result result = m_dispatcher.call(message.value(QStringLiteral("id")).toInt(),
                                                              message.value(QStringLiteral("method")).toString(),
                                                              message.value(QStringLiteral("args")).toArray());
    // A slot waiting in a dialog may have seen its window closed and deleted.
    if (!self)
        return {{QStringLiteral("error"), NoBridge}};
    --m_callDepth;
    QJsonObject answer;
    if (!result.error.isEmpty())
        answer.insert(QStringLiteral("error"), result.error);
    else if (!result.value.isUndefined())
        answer.insert(QStringLiteral("value"), result.value);
    if (m_callDepth == 0 && !m_callEvents.isEmpty()) {
        answer.insert(QStringLiteral("events"), m_callEvents);
        m_callEvents = QJsonArray();
    }
    return answer;
}

QJsonObject WebEngineView::answerBatch(const QJsonObject &message, const QString &origin)
{
    Q_UNUSED(origin);
    QJsonArray results;
    QJsonObject answer;
    const QPointer<WebEngineView> self(this);
    ++m_callDepth;
    const QJsonArray calls = message.value(QStringLiteral("calls")).toArray();
    for (int i = 0; i < calls.size(); ++i) {
        const QJsonArray call = calls.at(i).toArray();
        const BridgeDispatcher::Result result =
            m_dispatcher.call(call.at(0).toInt(), call.at(1).toString(), call.at(2).toArray());
        if (!self)
            return {{QStringLiteral("error"), NoBridge}};
        if (!result.error.isEmpty()) {
            answer.insert(QStringLiteral("error"), QStringLiteral("Kavo.batch, call %1: %2").arg(i).arg(result.error));
            break;
        }
        // undefined has no place in a JSON array: it reads back as null.
        results.append(result.value.isUndefined() ? QJsonValue() : result.value);
    }
    --m_callDepth;
    if (!answer.contains(QStringLiteral("error")))
        answer.insert(QStringLiteral("value"), results);
    if (m_callDepth == 0 && !m_callEvents.isEmpty()) {
        answer.insert(QStringLiteral("events"), m_callEvents);
        m_callEvents = QJsonArray();
    }
    return answer;
}

void WebEngineView::prepareProcess()
{
    const auto setDefault = [](const char *name, const char *value) {
        if (!qEnvironmentVariableIsSet(name))
            qputenv(name, value);
    };
    setDefault("QTWEBENGINEPROCESS_PATH", KAVO_WEBENGINE_PROCESS);
    setDefault("QTWEBENGINE_RESOURCES_PATH", KAVO_WEBENGINE_RESOURCES);
    setDefault("QTWEBENGINE_LOCALES_PATH", KAVO_WEBENGINE_LOCALES);
    // The engine's start-up report is for its own developers.
    setDefault("QT_LOGGING_RULES", "qt.webenginecontext=false");
    // Chromium's sandbox refuses to run as root; a root session (a container, CI) goes without it.
    if (::geteuid() == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    // Without a display the engine's scene graph draws in software.
    if (qgetenv("QT_QPA_PLATFORM") == "offscreen" && !qEnvironmentVariableIsSet("QT_QUICK_BACKEND"))
        qputenv("QT_QUICK_BACKEND", "software");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
}

void WebEngineView::clearCaches()
{
    WebEngineProfile::instance()->clearHttpCache();
    if (QAbstractNetworkCache *cache = BrowserContext::networkAccessManager()->cache())
        cache->clear();
}
