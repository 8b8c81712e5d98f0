#pragma once

#include <QUrl>
#include <QWebPage>

// A page that loads through the program's one network access manager and opens a registered
// browser window whenever script or a link asks for a new one.
class WebPage : public QWebPage
{
    Q_OBJECT
    Q_DISABLE_COPY(WebPage)
public:
    explicit WebPage(QObject *parent = nullptr);

    // While set, reloading loads this address instead of the current content (the error text
    // that stands in for a page that failed to load).
    void setReloadUrl(const QUrl &url) { m_reloadUrl = url; }
    QUrl reloadUrl() const { return m_reloadUrl; }

    void triggerAction(WebAction action, bool checked = false) override;

protected:
    QWebPage *createWindow(WebWindowType type) override;
    QObject *createPlugin(const QString &classId, const QUrl &url, const QStringList &paramNames,
                          const QStringList &paramValues) override;

private:
    QUrl m_reloadUrl;
};
