#include "webengineprofile.h"

#include "browser/browsercontext.h"

#include "core/config.h"
#include "network/cookiejar.h"
#include "network/networkaccessmanager.h"
#include "network/userfolders.h"

#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QNetworkCookie>
#include <QWebEngineCookieStore>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>

// The script is compiled into this static library, which registers it only when asked (and only
// from outside any namespace).
static void initBridgeResource()
{
    Q_INIT_RESOURCE(bridge);
}

namespace {

// Keeps the engine's cookie store and the cookie jar (which getRemoteDataExt and uploads use)
// equal: each change on one side is written to the other unless that side has it already, so a
// change never echoes back and forth.
class CookieMirror : public QObject
{
public:
    CookieMirror(QWebEngineCookieStore *store, CookieJar *jar, QObject *parent)
        : QObject(parent)
        , m_store(store)
        , m_jar(jar)
    {
        connect(store, &QWebEngineCookieStore::cookieAdded, this, &CookieMirror::storeAdded);
        connect(store, &QWebEngineCookieStore::cookieRemoved, this, &CookieMirror::storeRemoved);
        connect(jar, &CookieJar::cookiesChanged, this, &CookieMirror::jarChanged);
        jarChanged();
    }

private:
    static QString keyOf(const QNetworkCookie &cookie)
    {
        return QString::fromUtf8(cookie.name()) + QLatin1Char('\n') + cookie.domain() + QLatin1Char('\n')
            + cookie.path();
    }

    void storeAdded(const QNetworkCookie &cookie)
    {
        const QByteArray raw = cookie.toRawForm();
        if (m_known.value(keyOf(cookie)) == raw)
            return;
        m_known.insert(keyOf(cookie), raw);
        m_jar->insertCookie(cookie);
    }

    void storeRemoved(const QNetworkCookie &cookie)
    {
        if (!m_known.remove(keyOf(cookie)))
            return;
        m_jar->deleteCookie(cookie);
    }

    void jarChanged()
    {
        QHash<QString, QByteArray> now;
        const QList<QNetworkCookie> cookies = m_jar->storedCookies();
        for (const QNetworkCookie &cookie : cookies)
            now.insert(keyOf(cookie), cookie.toRawForm());
        for (auto it = m_known.begin(); it != m_known.end();) {
            if (now.contains(it.key())) {
                ++it;
                continue;
            }
            for (const QNetworkCookie &gone : QNetworkCookie::parseCookies(it.value()))
                m_store->deleteCookie(gone);
            it = m_known.erase(it);
        }
        for (const QNetworkCookie &cookie : cookies) {
            const QString key = keyOf(cookie);
            if (m_known.value(key) == now.value(key))
                continue;
            m_known.insert(key, now.value(key));
            m_store->setCookie(cookie);
        }
    }

    QWebEngineCookieStore *m_store;
    CookieJar *m_jar;
    QHash<QString, QByteArray> m_known;
};

QWebEngineScript bridgeScript()
{
    initBridgeResource();
    QFile file(QStringLiteral(":/kavo/bridge.js"));
    file.open(QIODevice::ReadOnly);
    QWebEngineScript script;
    script.setName(QStringLiteral("kavo-bridge"));
    script.setSourceCode(QString::fromUtf8(file.readAll()));
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setWorldId(QWebEngineScript::MainWorld);
    script.setRunsOnSubFrames(false);
    return script;
}

} // namespace

namespace WebEngineProfile {

QWebEngineProfile *instance()
{
    static QWebEngineProfile *profile = nullptr;
    if (profile)
        return profile;
    const QString name = appConfig().name().isEmpty() ? QStringLiteral("Kavo") : appConfig().name();
    profile = new QWebEngineProfile(name, qApp);
    profile->setPersistentStoragePath(UserFolders::data() + QStringLiteral("/webengine"));
    profile->setCachePath(UserFolders::cache() + QStringLiteral("/webengine"));
    profile->setHttpCacheType(QWebEngineProfile::DiskHttpCache);
    profile->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);
    profile->scripts()->insert(bridgeScript());
    auto *jar = qobject_cast<CookieJar *>(BrowserContext::networkAccessManager()->cookieJar());
    if (jar)
        new CookieMirror(profile->cookieStore(), jar, profile);
    return profile;
}

} // namespace WebEngineProfile
