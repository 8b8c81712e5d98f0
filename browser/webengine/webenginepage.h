#pragma once

#include <QWebEnginePage>

class WebEngineView;

// QtWebEngine's page of one window: answers the bridge script's calls (synchronous prompts with
// the bridge's tag) through its view, opens a registered browser window whenever script or a link
// asks for a new one, reloads the failed address instead of the error text, and asks the
// program's certificate question.
class WebEnginePage : public QWebEnginePage
{
    Q_OBJECT
    Q_DISABLE_COPY(WebEnginePage)
public:
    explicit WebEnginePage(WebEngineView *view);

    void triggerAction(WebAction action, bool checked = false) override;

protected:
    bool javaScriptPrompt(const QUrl &securityOrigin, const QString &msg, const QString &defaultValue,
                          QString *result) override;
    QWebEnginePage *createWindow(WebWindowType type) override;

private:
    WebEngineView *m_view;
};
