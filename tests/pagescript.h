#pragma once

#include "browser/browsercontext.h"
#include "browser/browserwindow.h"
#include "browser/webview.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QSignalSpy>
#include <QtTest>

#include <functional>
#include <memory>

// What tests do to a page, written once for both engines. QtWebEngine answers later and QtWebKit at
// once, so every read here waits for its answer, or for a timeout, before it returns.
namespace PageScript {

constexpr int Timeout = 15000;

// Asks the engine for a value it hands to a callback, later or at once, and waits for it; a
// default value when no answer comes in time.
template <typename T>
T answerOf(const std::function<void(const std::function<void(const T &)> &)> &ask, int timeoutMs)
{
    struct Answer
    {
        bool given = false;
        T value;
    };
    // Shared with the callback, which may still come after the wait has given up.
    const auto answer = std::make_shared<Answer>();
    ask([answer](const T &value) {
        answer->value = value;
        answer->given = true;
    });
    if (!QTest::qWaitFor([&] { return answer->given; }, timeoutMs))
        qWarning("PageScript: the engine gave no answer in %d ms", timeoutMs);
    return answer->value;
}

// The value of script in the view's main document: invalid for undefined, an error, a document of
// an untrusted origin or no answer in time.
inline QVariant evaluate(WebView *view, const QString &script, int timeoutMs = Timeout)
{
    return answerOf<QVariant>([&](const auto &done) { view->evaluate(script, done); }, timeoutMs);
}

inline QVariant evaluate(const BrowserWindow &window, const QString &script, int timeoutMs = Timeout)
{
    return evaluate(window.webView(), script, timeoutMs);
}

// The value of expression through JSON.stringify in the page: arrays and objects come back the
// same on both engines.
inline QJsonValue json(WebView *view, const QString &expression)
{
    const QString text = evaluate(view, QStringLiteral("JSON.stringify(%1)").arg(expression)).toString();
    return QJsonDocument::fromJson(QStringLiteral("[%1]").arg(text).toUtf8()).array().at(0);
}

inline QJsonValue json(const BrowserWindow &window, const QString &expression)
{
    return json(window.webView(), expression);
}

// The text the main document shows, read by the engine and not by page script, so also that of
// a document of an untrusted origin (the error text of a failed load).
inline QString text(WebView *view, int timeoutMs = Timeout)
{
    return answerOf<QString>([&](const auto &done) { view->toPlainText(done); }, timeoutMs);
}

// Runs start, which begins a load in view, and waits for that load to finish: whether it did.
inline bool waitForLoad(WebView *view, const std::function<void()> &start, int timeoutMs = Timeout)
{
    QSignalSpy finished(view, &WebView::loadFinished);
    start();
    return (!finished.isEmpty() || finished.wait(timeoutMs)) && finished.first().first().toBool();
}

inline bool load(WebView *view, const QUrl &url)
{
    return waitForLoad(view, [&] { view->load(url); });
}

// Starts showing html as a page of the application's own (its address is trusted from now on).
inline void startTrusted(WebView *view, const QString &html)
{
    BrowserContext::setTrustedOrigins({QStringLiteral("http://127.0.0.1")});
    view->setHtml(html, QUrl(QStringLiteral("http://127.0.0.1/")));
}

// The same, waiting for the page to load: whether it did.
inline bool showTrusted(WebView *view, const QString &html)
{
    return waitForLoad(view, [&] { startTrusted(view, html); });
}

// From the next document the view starts on, object is its page global name, as a window
// publishes its own objects. The document must be of a trusted origin: QtWebEngine publishes into
// no other.
inline void publish(WebView *view, const QString &name, QObject *object)
{
    QObject::connect(view, &WebView::documentStarting, object,
                     [view, name, object] { view->publishObject(name, object); });
}

} // namespace PageScript
