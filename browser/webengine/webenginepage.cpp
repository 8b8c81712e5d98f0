#include "webenginepage.h"

#include "webengineprofile.h"
#include "webengineview.h"

#include "browser/browsercontext.h"
#include "browser/browserwindow.h"
#include "browser/pagemanager.h"

#include "network/networkaccessmanager.h"

#include <QWebEngineCertificateError>

WebEnginePage::WebEnginePage(WebEngineView *view)
    : QWebEnginePage(WebEngineProfile::instance(), view)
    , m_view(view)
{
    connect(this, &QWebEnginePage::certificateError, this, [](const QWebEngineCertificateError &error) {
        QWebEngineCertificateError answer = error;
        // The question is modal; the engine waits for the answer.
        answer.defer();
        if (BrowserContext::networkAccessManager()->acceptCertificateErrors(error.url(), {error.description()}))
            answer.acceptCertificate();
        else
            answer.rejectCertificate();
    });
}

void WebEnginePage::triggerAction(WebAction action, bool checked)
{
    if ((action == Reload || action == ReloadAndBypassCache) && m_view->reloadInstead())
        return;
    QWebEnginePage::triggerAction(action, checked);
}

bool WebEnginePage::javaScriptPrompt(const QUrl &securityOrigin, const QString &msg, const QString &defaultValue,
                                     QString *result)
{
    bool handled = false;
    // Nothing of this page is touched after the answer: its window may have gone meanwhile.
    const QString answer = m_view->answerBridge(securityOrigin, msg, defaultValue, &handled);
    if (!handled)
        return QWebEnginePage::javaScriptPrompt(securityOrigin, msg, defaultValue, result);
    *result = answer;
    return true;
}

QWebEnginePage *WebEnginePage::createWindow(WebWindowType type)
{
    Q_UNUSED(type);
    return static_cast<WebEngineView *>(WebView::openedBy(m_view))->page();
}
