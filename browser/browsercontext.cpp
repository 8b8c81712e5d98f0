#include "browsercontext.h"

#include "network/cookiejar.h"
#include "network/networkaccessmanager.h"

#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QUrl>
#include <QtDebug>

#include <utility>

namespace {
const quint16 DefaultServerPort = 58899;
QStringList g_trustedOrigins{QStringLiteral("http://localhost:%1").arg(DefaultServerPort),
                             QStringLiteral("http://127.0.0.1:%1").arg(DefaultServerPort)};
// Each ends with a slash.
QStringList g_trustedFolders;
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
        g_manager->setTrustProbe(BrowserContext::isTrustedOrigin);
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
    g_trustedFolders.clear();
    for (const QString &origin : origins) {
        const QUrl url(origin);
        if (url.isLocalFile()) {
            const QString path = QDir::cleanPath(url.toLocalFile());
            QString folder = path.endsWith(QLatin1Char('/')) || QFileInfo(path).isDir() ? path : QFileInfo(path).path();
            if (!folder.endsWith(QLatin1Char('/')))
                folder += QLatin1Char('/');
            // The root would be every local file again.
            if (folder == QLatin1String("/") || !QDir::isAbsolutePath(folder)) {
                qWarning("a trusted origin of the whole disk is ignored: %s", qPrintable(origin));
                continue;
            }
            if (!g_trustedFolders.contains(folder))
                g_trustedFolders.append(folder);
            continue;
        }
        const QString normal = originOf(url);
        if (!normal.isEmpty() && normal != QLatin1String("file://") && !g_trustedOrigins.contains(normal))
            g_trustedOrigins.append(normal);
    }
}

QStringList trustedOrigins()
{
    QStringList all = g_trustedOrigins;
    for (const QString &folder : std::as_const(g_trustedFolders))
        all.append(QUrl::fromLocalFile(folder).toString());
    return all;
}

QString originOf(const QString &scheme, const QString &host, int port)
{
    const QString lowerScheme = scheme.toLower();
    if (lowerScheme == QLatin1String("file"))
        return QStringLiteral("file://");
    QString bareHost = host.toLower();
    if (bareHost.startsWith(QLatin1Char('[')) && bareHost.endsWith(QLatin1Char(']')))
        bareHost = bareHost.mid(1, bareHost.size() - 2);
    if (lowerScheme.isEmpty() || bareHost.isEmpty())
        return QString();
    if (port <= 0) {
        if (lowerScheme == QLatin1String("http"))
            port = 80;
        else if (lowerScheme == QLatin1String("https"))
            port = 443;
        else
            return QString();
    }
    // Engines name an IPv6 host with and without brackets; the origin has them, as a URL does.
    const QString shownHost = bareHost.contains(QLatin1Char(':')) ? QLatin1Char('[') + bareHost + QLatin1Char(']') : bareHost;
    return QStringLiteral("%1://%2:%3").arg(lowerScheme, shownHost).arg(port);
}

QString originOf(const QUrl &url)
{
    if (!url.isValid())
        return QString();
    return originOf(url.scheme(), url.host(QUrl::FullyEncoded), url.port(-1));
}

bool isTrustedOrigin(const QUrl &url)
{
    return isTrustedDocument(originOf(url), url);
}

bool isTrustedOriginName(const QString &origin)
{
    return !origin.isEmpty() && g_trustedOrigins.contains(origin);
}

bool isTrustedDocument(const QString &origin, const QUrl &url)
{
    if (origin != QLatin1String("file://"))
        return isTrustedOriginName(origin);
    if (!url.isLocalFile())
        return false;
    const QString path = QDir::cleanPath(url.toLocalFile());
    for (const QString &folder : std::as_const(g_trustedFolders)) {
        if (path.startsWith(folder))
            return true;
    }
    return false;
}

bool isLoopbackHost(const QString &host)
{
    QString bare = host.toLower();
    if (bare.startsWith(QLatin1Char('[')) && bare.endsWith(QLatin1Char(']')))
        bare = bare.mid(1, bare.size() - 2);
    if (bare == QLatin1String("localhost") || bare.endsWith(QLatin1String(".localhost")))
        return true;
    const QHostAddress address(bare);
    return !address.isNull() && address.isLoopback();
}

QStringList applicationOrigins(quint16 port, const QStringList &serverOrigins, const QUrl &startUrl,
                               const QStringList &listed)
{
    QStringList normalServer;
    for (const QString &origin : serverOrigins)
        normalServer.append(originOf(QUrl(origin)));
    QStringList origins = serverOrigins;
    QStringList configured = listed;
    if (!originOf(startUrl).isEmpty())
        configured.prepend(startUrl.toString());
    for (const QString &entry : std::as_const(configured)) {
        const QUrl url(entry);
        const bool serverPort = url.port(url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80) == port;
        if (!url.isLocalFile() && serverPort && isLoopbackHost(url.host()) && !normalServer.contains(originOf(url))) {
            qWarning("not trusted, for the local server does not hold it: %s", qPrintable(originOf(url)));
            continue;
        }
        origins.append(url.isLocalFile() ? entry : originOf(url));
    }
    return origins;
}

} // namespace BrowserContext
