#pragma once

#include "browser/pageevent.h"

#include <QObject>
#include <QPointer>
#include <QString>

class BrowserWindow;
class QNetworkCookieJar;
class RemoteDataClient;

// Remote HTTP requests outside the page's origin rules, with the desktop's cookies, answered as
// "kavo.device.remote.data" events through the window; opening a URL in the desktop's browser;
// the installed version. One per page load, owned by the window that publishes it.
class KavoDevice : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(KavoDevice)
public:
    explicit KavoDevice(BrowserWindow *window, QObject *parent = nullptr);
    ~KavoDevice() override;

    // By default requests read and store cookies in the shared manager's jar; this gives another.
    void setCookieJar(QNetworkCookieJar *jar);
    RemoteDataClient *remoteData() const { return m_remoteData; }

public slots:
    void getRemoteDataExt(QString url, QString id, QString method, QString body, QString headers);
    void showRemoteSite(QString url);
    QString getVersion();

private:
    void raise(const PageEvent::Event &event, int line);

    QPointer<BrowserWindow> m_window;
    RemoteDataClient *m_remoteData;
    bool m_cookieJarGiven = false;
};
