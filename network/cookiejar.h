#pragma once

#include <QNetworkCookieJar>
#include <QStringList>

#include <functional>

class AutoSaver;

// The program's cookie jar: keeps cookies across runs in "cookies.ini" in the data location,
// with an accept policy, a keep policy and per-host exception lists. Loads lazily on first use;
// every write of the store replaces the file whole, so a failed save keeps the previous cookies.
// A store that does not hold what the jar writes loads empty and is first kept aside as
// "cookies.ini.damaged".
class CookieJar : public QNetworkCookieJar
{
    Q_OBJECT
    Q_DISABLE_COPY(CookieJar)
    Q_PROPERTY(AcceptPolicy acceptPolicy READ acceptPolicy WRITE setAcceptPolicy)
    Q_PROPERTY(KeepPolicy keepPolicy READ keepPolicy WRITE setKeepPolicy)
    Q_PROPERTY(QStringList blockedCookies READ blockedCookies WRITE setBlockedCookies)
    Q_PROPERTY(QStringList allowedCookies READ allowedCookies WRITE setAllowedCookies)
    Q_PROPERTY(QStringList allowForSessionCookies READ allowForSessionCookies WRITE setAllowForSessionCookies)
public:
    enum AcceptPolicy { AcceptAlways, AcceptNever, AcceptOnlyFromSitesNavigatedTo };
    Q_ENUM(AcceptPolicy)
    enum KeepPolicy { KeepUntilExpire, KeepUntilExit, KeepUntilTimeLimit };
    Q_ENUM(KeepPolicy)

    explicit CookieJar(QObject *parent = nullptr);
    ~CookieJar() override;

    QList<QNetworkCookie> cookiesForUrl(const QUrl &url) const override;
    bool setCookiesFromUrl(const QList<QNetworkCookie> &cookieList, const QUrl &url) override;
    // One cookie as another store holds it (a web engine's own), kept like any other.
    bool insertCookie(const QNetworkCookie &cookie) override;
    bool deleteCookie(const QNetworkCookie &cookie) override;

    AcceptPolicy acceptPolicy() const;
    void setAcceptPolicy(AcceptPolicy policy);
    KeepPolicy keepPolicy() const;
    void setKeepPolicy(KeepPolicy policy);
    QStringList blockedCookies() const;
    QStringList allowedCookies() const;
    QStringList allowForSessionCookies() const;
    void setBlockedCookies(const QStringList &list);
    void setAllowedCookies(const QStringList &list);
    void setAllowForSessionCookies(const QStringList &list);

    // Every cookie held in memory, session cookies included.
    QList<QNetworkCookie> storedCookies() const;
    // The file the jar keeps its cookies in.
    static QString storePath();

    // The browser's private-browsing switch; the jar itself knows nothing of the web engine.
    static void setPrivateBrowsingProbe(const std::function<bool()> &probe);

signals:
    void cookiesChanged();

public slots:
    void clear();
    void loadSettings();

private slots:
    void save();

private:
    void load() const;
    void doLoad();
    void keepDamagedStore();
    void purgeOldCookies();
    static bool isPrivateBrowsing();
    static QString storeDirectory();

    bool m_loaded = false;
    AutoSaver *m_saver = nullptr;
    AcceptPolicy m_acceptCookies = AcceptOnlyFromSitesNavigatedTo;
    KeepPolicy m_keepCookies = KeepUntilExpire;
    QStringList m_exceptionsBlock;
    QStringList m_exceptionsAllow;
    QStringList m_exceptionsAllowForSession;
};
