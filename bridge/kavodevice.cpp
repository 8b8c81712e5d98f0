#include "kavodevice.h"

#include "core/debuglog.h"
#include "core/messagebox.h"
#include "remotedata.h"

#include "browser/bridgelifetime.h"
#include "browser/browsercontext.h"
#include "browser/browserwindow.h"
#include "network/networkaccessmanager.h"
#include "core/config.h"

#include <QDebug>
#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

KavoDevice::KavoDevice(BrowserWindow *window, QObject *parent)
    : QObject(parent)
    , m_window(window)
    , m_remoteData(new RemoteDataClient([this](const PageEvent::Event &event) { raise(event, __LINE__); }, this))
{
}

KavoDevice::~KavoDevice() = default;

void KavoDevice::setCookieJar(QNetworkCookieJar *jar)
{
    m_cookieJarGiven = true;
    m_remoteData->setCookieJar(jar);
}

void KavoDevice::raise(const PageEvent::Event &event, int line)
{
    // The page it would answer has gone.
    if (BridgeLifetime::isRetired(this))
        return;
    if (!m_window) {
        const ModalCallGuard guard(this);
        showCriticalMessage(QStringLiteral("错误"), QStringLiteral("无窗口对象,执行JS失败！\n文件：%1, 行：%2")
                                                        .arg(QFileInfo(QStringLiteral(__FILE__)).fileName())
                                                        .arg(line));
        return;
    }
    m_window->raiseEvent(event);
}

void KavoDevice::getRemoteDataExt(QString url, QString id, QString method, QString body, QString headers)
{
    // The jar of the shared manager, as it is now: the one all pages keep their cookies in.
    if (!m_cookieJarGiven)
        m_remoteData->setCookieJar(BrowserContext::networkAccessManager()->cookieJar());
    m_remoteData->request(url, id, method, body, headers);
}

void KavoDevice::showRemoteSite(QString url)
{
    // Web and mail addresses only: a file or a custom handler is not the page's to start.
    const QUrl target(url);
    const QString scheme = target.scheme().toLower();
    if (!target.isValid()
        || (scheme != QLatin1String("http") && scheme != QLatin1String("https") && scheme != QLatin1String("mailto"))) {
        qCDebug(lcBridge) << "showRemoteSite refused:" << url;
        return;
    }
    QDesktopServices::openUrl(target);
}

QString KavoDevice::getVersion()
{
    return appConfig().version();
}
