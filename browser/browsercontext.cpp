#include "browsercontext.h"

#include "network/cookiejar.h"
#include "network/networkaccessmanager.h"

#include <QUrl>

namespace {
const quint16 DefaultServerPort = 58899;
QStringList g_trustedOrigins = BrowserContext::applicationOrigins(DefaultServerPort, QUrl(), QStringList());
QString g_webRoot;
IMInterface *g_imInterface = nullptr;
NetworkAccessManager *g_manager = nullptr;
std::function<bool()> g_trayProbe;
} // namespace

namespace BrowserContext {

QString webRoot()
{
    return g_webRoot;
}

void setWebRoot(const QString &webRoot)
{
    g_webRoot = webRoot;
}

IMInterface *imInterface()
{
    return g_imInterface;
}

void setImInterface(IMInterface *imInterface)
{
    g_imInterface = imInterface;
}

bool canHideToTray()
{
    return g_trayProbe && g_trayProbe();
}

void setTrayProbe(const std::function<bool()> &probe)
{
    g_trayProbe = probe;
}

NetworkAccessManager *networkAccessManager()
{
    if (!g_manager) {
        g_manager = new NetworkAccessManager();
        g_manager->setCookieJar(new CookieJar());
    }
    return g_manager;
}

void releaseNetworkAccessManager()
{
    delete g_manager;
    g_manager = nullptr;
}

void setTrustedOrigins(const QStringList &origins)
{
    g_trustedOrigins.clear();
    for (const QString &origin : origins) {
        const QString normal = originOf(QUrl(origin));
        if (!normal.isEmpty() && !g_trustedOrigins.contains(normal))
            g_trustedOrigins.append(normal);
    }
}

QStringList trustedOrigins()
{
    return g_trustedOrigins;
}

QString originOf(const QString &scheme, const QString &host, int port)
{
    const QString lowerScheme = scheme.toLower();
    if (lowerScheme == QLatin1String("file"))
        return QStringLiteral("file://");
    if (lowerScheme.isEmpty() || host.isEmpty())
        return QString();
    if (port <= 0) {
        if (lowerScheme == QLatin1String("http"))
            port = 80;
        else if (lowerScheme == QLatin1String("https"))
            port = 443;
        else
            return QString();
    }
    return QStringLiteral("%1://%2:%3").arg(lowerScheme, host.toLower()).arg(port);
}

QString originOf(const QUrl &url)
{
    if (!url.isValid())
        return QString();
    return originOf(url.scheme(), url.host(QUrl::FullyEncoded), url.port(-1));
}

bool isTrustedOrigin(const QUrl &url)
{
    const QString origin = originOf(url);
    return !origin.isEmpty() && g_trustedOrigins.contains(origin);
}

bool isTrustedOriginName(const QString &origin)
{
    return !origin.isEmpty() && g_trustedOrigins.contains(origin);
}

QStringList applicationOrigins(quint16 port, const QUrl &startUrl, const QStringList &listed)
{
    QStringList origins{QStringLiteral("http://localhost:%1").arg(port), QStringLiteral("http://127.0.0.1:%1").arg(port)};
    if (!originOf(startUrl).isEmpty())
        origins.append(originOf(startUrl));
    origins += listed;
    return origins;
}

} // namespace BrowserContext
