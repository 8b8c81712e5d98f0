#include "benchpage.h"

#include "browser/webview.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>
#include <QTimer>

#include <memory>

namespace BenchPage {

namespace {
// Runs the event loop until the flag is set or the time is up; the flag is shared because an
// answer may still come after the wait gave up.
bool waitUntil(const std::shared_ptr<bool> &flag, QEventLoop &loop, int timeoutMs)
{
    if (*flag)
        return true;
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return *flag;
}
} // namespace

bool loadHtml(WebView *view, const QString &html, const QUrl &baseUrl, int timeoutMs)
{
    QEventLoop loop;
    const auto finished = std::make_shared<bool>(false);
    const auto ok = std::make_shared<bool>(false);
    QObject::connect(view, &WebView::loadFinished, &loop, [&loop, finished, ok](bool success) {
        *finished = true;
        *ok = success;
        loop.quit();
    });
    view->setHtml(html, baseUrl);
    return waitUntil(finished, loop, timeoutMs) && *ok;
}

QVariant evaluate(WebView *view, const QString &script, int timeoutMs)
{
    QEventLoop loop;
    const auto given = std::make_shared<bool>(false);
    const auto value = std::make_shared<QVariant>();
    QPointer<QEventLoop> guard(&loop);
    view->evaluate(script, [guard, given, value](const QVariant &result) {
        *value = result;
        *given = true;
        if (guard)
            guard->quit();
    });
    waitUntil(given, loop, timeoutMs);
    return *value;
}

QString textWhenSet(WebView *view, const QString &expression, int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    QString text;
    while (text.isEmpty() && waited.elapsed() < timeoutMs) {
        // Events keep flowing meanwhile: the page's calls are answered on this thread.
        QEventLoop pause;
        QTimer::singleShot(100, &pause, &QEventLoop::quit);
        pause.exec();
        text = evaluate(view, QStringLiteral("(%1) || ''").arg(expression)).toString();
    }
    return text;
}

} // namespace BenchPage
