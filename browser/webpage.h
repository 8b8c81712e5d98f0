#pragma once

#include <QWebPage>

// A page that loads through the program's one network access manager and opens a registered
// browser window whenever script or a link asks for a new one.
class WebPage : public QWebPage
{
    Q_OBJECT
    Q_DISABLE_COPY(WebPage)
public:
    explicit WebPage(QObject *parent = nullptr);

protected:
    QWebPage *createWindow(WebWindowType type) override;
    QObject *createPlugin(const QString &classId, const QUrl &url, const QStringList &paramNames,
                          const QStringList &paramValues) override;
};
