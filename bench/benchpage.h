#pragma once

#include <QString>
#include <QUrl>
#include <QVariant>

class WebView;

// What the page harnesses do to a view, written once for both engines: QtWebEngine answers later
// and QtWebKit at once, so each of these waits for the answer, or for a timeout, before it returns.
namespace BenchPage {

// Shows html as a document of baseUrl's origin; whether it loaded in time.
bool loadHtml(WebView *view, const QString &html, const QUrl &baseUrl, int timeoutMs = 30000);

// The value of script in the view's main document; invalid for undefined, an error or no answer
// in time.
QVariant evaluate(WebView *view, const QString &script, int timeoutMs = 600000);

// The text expression gives, asked every 100 ms until it is not empty; empty when time is up.
QString textWhenSet(WebView *view, const QString &expression, int timeoutMs);

} // namespace BenchPage
