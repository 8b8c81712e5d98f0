#include "browsercontext.h"

#include "network/cookiejar.h"
#include "network/networkaccessmanager.h"

namespace {
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

} // namespace BrowserContext
