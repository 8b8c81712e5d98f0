#include "cookiejar.h"

#include "autosaver.h"
#include "userfolders.h"

#include "core/configparser.h"
#include "core/fileutils.h"
#include "core/inivariants.h"

#include <QDataStream>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>
#include <QNetworkCookie>
#include <QSettings>
#include <QTemporaryFile>

#include <algorithm>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace {
constexpr quint32 cookieStreamVersion = 23;
constexpr int timeLimitDays = 90;
} // namespace

// The stored form of the cookie list: version, count, then each cookie's raw Set-Cookie text.
QDataStream &operator<<(QDataStream &stream, const QList<QNetworkCookie> &list)
{
    stream << cookieStreamVersion;
    stream << quint32(list.size());
    for (const QNetworkCookie &cookie : list)
        stream << cookie.toRawForm(QNetworkCookie::Full);
    return stream;
}

QDataStream &operator>>(QDataStream &stream, QList<QNetworkCookie> &list)
{
    list.clear();
    quint32 version = 0;
    stream >> version;
    if (version != cookieStreamVersion)
        return stream;
    quint32 count = 0;
    stream >> count;
    for (quint32 i = 0; i < count && !stream.atEnd(); ++i) {
        QByteArray value;
        stream >> value;
        const QList<QNetworkCookie> parsed = QNetworkCookie::parseCookies(value);
        if (parsed.isEmpty() && !value.isEmpty())
            qWarning() << "CookieJar: Unable to parse saved cookie:" << value;
        list += parsed;
    }
    return stream;
}

namespace {

// Far beyond thousands of cookies of the largest allowed size; a larger file is not our store.
constexpr qint64 maxStoreSize = 64 * 1024 * 1024;

// How the settings writer stores the cookie list: the variant's user-type marker (127), then the
// registered name of the list's type with its NUL, then the list's own stream.
QString cookieListVariantPrefix()
{
    static const QByteArray header =
        QByteArray("@Variant(\0\0\0\x7f\0\0\0\x16", 17) + "QList<QNetworkCookie>" + QByteArray(1, '\0');
    static const QString prefix = QString::fromLatin1(header.constData(), header.size());
    return prefix;
}

// The store is read only if the one variant in it is the cookie list under "cookies".
bool readStore(const QByteArray &raw, QTemporaryFile &copy, IniVariants::Values *values)
{
    return IniVariants::read(raw, copy, nullptr,
                             [](const QString &key, QStringView element) {
                                 return key == QLatin1String("cookies") && element.startsWith(cookieListVariantPrefix());
                             },
                             values);
}

std::function<bool()> &privateBrowsingProbe()
{
    static std::function<bool()> probe;
    return probe;
}

void registerCookieStreamOperators()
{
    static const bool registered = [] {
        qRegisterMetaType<QList<QNetworkCookie>>("QList<QNetworkCookie>");
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
        // Qt 6 finds the stream operators itself when the type is registered.
        qRegisterMetaTypeStreamOperators<QList<QNetworkCookie>>("QList<QNetworkCookie>");
#endif
        return true;
    }();
    Q_UNUSED(registered);
}

template <typename Enum>
Enum enumFromKey(const QString &key, Enum fallback)
{
    bool ok = false;
    const int value = QMetaEnum::fromType<Enum>().keyToValue(key.toLatin1().constData(), &ok);
    return ok ? Enum(value) : fallback;
}

template <typename Enum>
QString keyOf(Enum value)
{
    return QString::fromLatin1(QMetaEnum::fromType<Enum>().valueToKey(value));
}

bool sameCookie(const QNetworkCookie &a, const QNetworkCookie &b)
{
    return a.name() == b.name() && a.domain() == b.domain() && a.path() == b.path();
}
} // namespace

CookieJar::CookieJar(QObject *parent)
    : QNetworkCookieJar(parent)
    , m_saver(new AutoSaver(this))
{
}

CookieJar::~CookieJar()
{
    if (m_keepCookies == KeepUntilExit)
        clear();
    m_saver->saveIfNeccessary();
}

void CookieJar::setPrivateBrowsingProbe(const std::function<bool()> &probe)
{
    privateBrowsingProbe() = probe;
}

bool CookieJar::isPrivateBrowsing()
{
    const auto &probe = privateBrowsingProbe();
    return probe && probe();
}

QString CookieJar::storeDirectory()
{
    return UserFolders::data();
}

QString CookieJar::storePath()
{
    return storeDirectory() + QStringLiteral("/cookies.ini");
}

void CookieJar::load() const
{
    if (m_loaded)
        return;
    // Loading is an implementation detail of every accessor, const ones included.
    const_cast<CookieJar *>(this)->doLoad();
}

void CookieJar::doLoad()
{
    registerCookieStreamOperators();
    setAllCookies(QList<QNetworkCookie>());
    m_exceptionsBlock.clear();
    m_exceptionsAllow.clear();
    m_exceptionsAllowForSession.clear();

    // Only the inert reading of a private copy beside the store (it holds the same session
    // tokens) is parsed: the list's own reader decodes the list, never Qt's variant reader.
    QFile file(storePath());
    if (!file.open(QIODevice::ReadOnly)) {
        loadSettings();
        return;
    }
    QTemporaryFile inert(storePath() + QStringLiteral(".read-XXXXXX"));
    IniVariants::Values values;
    QByteArray raw;
    bool damaged = !readAtMost(file, maxStoreSize, &raw) || !readStore(raw, inert, &values);
    file.close();
    if (!damaged) {
        const QVariant stored = values.value(QStringLiteral("cookies"));
        if (stored.userType() == QMetaType::QString) {
            // The variant's header was checked; what follows it is the list's stream.
            QByteArray bytes = stored.toString().mid(cookieListVariantPrefix().size()).toLatin1();
            QDataStream in(&bytes, QIODevice::ReadOnly);
            in.setVersion(QDataStream::Qt_4_0);
            QList<QNetworkCookie> cookies;
            ::operator>>(in, cookies);
            damaged = in.status() != QDataStream::Ok;
            if (!damaged)
                setAllCookies(cookies);
        } else {
            damaged = stored.isValid();
        }
        if (!damaged) {
            m_exceptionsBlock = values.value(QStringLiteral("Exceptions/block")).toStringList();
            m_exceptionsAllow = values.value(QStringLiteral("Exceptions/allow")).toStringList();
            m_exceptionsAllowForSession = values.value(QStringLiteral("Exceptions/allowForSession")).toStringList();
        }
    }
    if (damaged)
        keepDamagedStore();
    std::sort(m_exceptionsBlock.begin(), m_exceptionsBlock.end());
    std::sort(m_exceptionsAllow.begin(), m_exceptionsAllow.end());
    std::sort(m_exceptionsAllowForSession.begin(), m_exceptionsAllowForSession.end());
    loadSettings();
}

void CookieJar::keepDamagedStore()
{
    // The next save replaces the store: what was in it stays beside it, once, as the user's.
    const QString aside = storePath() + QStringLiteral(".damaged");
    qWarning() << "CookieJar: the cookie store" << storePath() << "is damaged; starting with no cookies";
    QFile in(storePath());
    if (!in.open(QIODevice::ReadOnly))
        return;
    const int fd = ::open(QFile::encodeName(aside).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        qWarning() << "CookieJar: not keeping the damaged store aside," << aside << "exists or cannot be written";
        return;
    }
    QFile out;
    bool written = out.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle);
    QByteArray block(64 * 1024, Qt::Uninitialized);
    while (written && !in.atEnd()) {
        const qint64 count = in.read(block.data(), block.size());
        written = count > 0 && out.write(block.constData(), count) == count;
    }
    written = written && out.flush();
    out.close();
    if (!written) {
        qWarning() << "CookieJar: cannot keep the damaged store as" << aside;
        QFile::remove(aside);
    }
}

void CookieJar::loadSettings()
{
    // The policies live in the user's settings file, which is the user's to edit: one that the
    // parser refuses (a value Qt's variant reader would decode) leaves the defaults in force and
    // is never rewritten, since writing it would make Qt read it whole.
    const QString file = QSettings().fileName();
    ConfigParser settings(file);
    if (!settings.open() && QFileInfo(file).exists())
        qWarning() << "CookieJar: not reading the cookie policies in" << file;
    m_acceptCookies = enumFromKey(
        settings.value(QStringLiteral("cookies/acceptCookies"), QStringLiteral("AcceptOnlyFromSitesNavigatedTo")).toString(),
        AcceptOnlyFromSitesNavigatedTo);
    m_keepCookies = enumFromKey(
        settings.value(QStringLiteral("cookies/keepCookiesUntil"), QStringLiteral("KeepUntilExpire")).toString(),
        KeepUntilExpire);
    if (m_keepCookies == KeepUntilExit)
        setAllCookies(QList<QNetworkCookie>());
    m_loaded = true;
    emit cookiesChanged();
}

void CookieJar::save()
{
    if (!m_loaded)
        return;
    purgeOldCookies();
    const QString directory = storeDirectory();
    if (!QDir().mkpath(directory)) {
        qWarning() << "CookieJar: cannot create" << directory;
        return;
    }

    QList<QNetworkCookie> cookies = allCookies();
    cookies.erase(std::remove_if(cookies.begin(), cookies.end(),
                                 [](const QNetworkCookie &cookie) { return cookie.isSessionCookie(); }),
                  cookies.end());

    // Written beside the store and renamed over it, so a failed write leaves the old store whole.
    const QString target = storePath();
    const QString temporary = target + QStringLiteral(".new");
    QFile::remove(temporary);
    // The store holds session tokens: only its owner may read it. The file is made private before
    // a byte is written, and the settings writer keeps the mode of the file it replaces.
    {
        const int fd = ::open(QFile::encodeName(temporary).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            qWarning() << "CookieJar: cannot write" << temporary;
            return;
        }
        ::close(fd);
    }
    {
        QSettings store(temporary, QSettings::IniFormat);
        store.setValue(QStringLiteral("cookies"), QVariant::fromValue(cookies));
        store.beginGroup(QStringLiteral("Exceptions"));
        store.setValue(QStringLiteral("block"), m_exceptionsBlock);
        store.setValue(QStringLiteral("allow"), m_exceptionsAllow);
        store.setValue(QStringLiteral("allowForSession"), m_exceptionsAllowForSession);
        store.endGroup();
        store.sync();
        if (store.status() != QSettings::NoError) {
            qWarning() << "CookieJar: cannot write" << temporary;
            QFile::remove(temporary);
            return;
        }
    }
    if (std::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(target).constData()) != 0) {
        qWarning() << "CookieJar: cannot replace" << target;
        QFile::remove(temporary);
        return;
    }

    // Through the parser, which never lets Qt's reader see the file: a refused file stays as it
    // is, and Qt's writer only ever makes a new one.
    const QString file = QSettings().fileName();
    ConfigParser policies(file);
    if (policies.open()) {
        policies.setValue(QStringLiteral("cookies/acceptCookies"), keyOf(m_acceptCookies));
        policies.setValue(QStringLiteral("cookies/keepCookiesUntil"), keyOf(m_keepCookies));
    } else if (!QFileInfo(file).exists()) {
        QSettings settings;
        settings.beginGroup(QStringLiteral("cookies"));
        settings.setValue(QStringLiteral("acceptCookies"), keyOf(m_acceptCookies));
        settings.setValue(QStringLiteral("keepCookiesUntil"), keyOf(m_keepCookies));
    }
}

void CookieJar::purgeOldCookies()
{
    QList<QNetworkCookie> cookies = allCookies();
    if (cookies.isEmpty())
        return;
    const int before = cookies.size();
    const QDateTime now = QDateTime::currentDateTime();
    for (int i = cookies.size() - 1; i >= 0; --i) {
        if (!cookies.at(i).isSessionCookie() && cookies.at(i).expirationDate() < now)
            cookies.removeAt(i);
    }
    if (cookies.size() != before) {
        setAllCookies(cookies);
        emit cookiesChanged();
    }
}

QList<QNetworkCookie> CookieJar::cookiesForUrl(const QUrl &url) const
{
    load();
    if (isPrivateBrowsing())
        return QList<QNetworkCookie>();
    return QNetworkCookieJar::cookiesForUrl(url);
}

bool CookieJar::setCookiesFromUrl(const QList<QNetworkCookie> &cookieList, const QUrl &url)
{
    load();
    if (isPrivateBrowsing())
        return false;

    const QString host = url.host();
    const bool blocked = std::binary_search(m_exceptionsBlock.begin(), m_exceptionsBlock.end(), host);
    const bool allowed = std::binary_search(m_exceptionsAllow.begin(), m_exceptionsAllow.end(), host);
    const bool allowedForSession =
        std::binary_search(m_exceptionsAllowForSession.begin(), m_exceptionsAllowForSession.end(), host);

    bool added = false;
    const bool acceptInitially = m_acceptCookies != AcceptNever;
    if ((acceptInitially && !blocked) || (!acceptInitially && (allowed || allowedForSession))) {
        const QDateTime limit = QDateTime::currentDateTime().addDays(timeLimitDays);
        for (QNetworkCookie cookie : cookieList) {
            if (m_keepCookies == KeepUntilTimeLimit && !cookie.isSessionCookie() && cookie.expirationDate() > limit)
                cookie.setExpirationDate(limit);
            if (QNetworkCookieJar::setCookiesFromUrl(QList<QNetworkCookie>() << cookie, url)) {
                added = true;
            } else if (m_acceptCookies == AcceptAlways) {
                // Taken regardless of the domain rules; the same cookie sent again replaces the
                // stored one instead of piling up copies.
                QList<QNetworkCookie> cookies = allCookies();
                cookies.erase(std::remove_if(cookies.begin(), cookies.end(),
                                             [&cookie](const QNetworkCookie &stored) {
                                                 return sameCookie(stored, cookie);
                                             }),
                              cookies.end());
                cookies.append(cookie);
                setAllCookies(cookies);
                added = true;
            }
        }
    }
    if (added) {
        m_saver->changeOccurred();
        emit cookiesChanged();
    }
    save();
    return added;
}

QList<QNetworkCookie> CookieJar::storedCookies() const
{
    load();
    return allCookies();
}

CookieJar::AcceptPolicy CookieJar::acceptPolicy() const
{
    load();
    return m_acceptCookies;
}

void CookieJar::setAcceptPolicy(AcceptPolicy policy)
{
    load();
    if (policy == m_acceptCookies)
        return;
    m_acceptCookies = policy;
    m_saver->changeOccurred();
}

CookieJar::KeepPolicy CookieJar::keepPolicy() const
{
    load();
    return m_keepCookies;
}

void CookieJar::setKeepPolicy(KeepPolicy policy)
{
    load();
    if (policy == m_keepCookies)
        return;
    m_keepCookies = policy;
    m_saver->changeOccurred();
}

QStringList CookieJar::blockedCookies() const
{
    load();
    return m_exceptionsBlock;
}

QStringList CookieJar::allowedCookies() const
{
    load();
    return m_exceptionsAllow;
}

QStringList CookieJar::allowForSessionCookies() const
{
    load();
    return m_exceptionsAllowForSession;
}

void CookieJar::setBlockedCookies(const QStringList &list)
{
    load();
    m_exceptionsBlock = list;
    std::sort(m_exceptionsBlock.begin(), m_exceptionsBlock.end());
    m_saver->changeOccurred();
}

void CookieJar::setAllowedCookies(const QStringList &list)
{
    load();
    m_exceptionsAllow = list;
    std::sort(m_exceptionsAllow.begin(), m_exceptionsAllow.end());
    m_saver->changeOccurred();
}

void CookieJar::setAllowForSessionCookies(const QStringList &list)
{
    load();
    m_exceptionsAllowForSession = list;
    std::sort(m_exceptionsAllowForSession.begin(), m_exceptionsAllowForSession.end());
    m_saver->changeOccurred();
}

void CookieJar::clear()
{
    setAllCookies(QList<QNetworkCookie>());
    m_saver->changeOccurred();
    emit cookiesChanged();
}

bool CookieJar::insertCookie(const QNetworkCookie &cookie)
{
    load();
    if (!QNetworkCookieJar::insertCookie(cookie))
        return false;
    m_saver->changeOccurred();
    emit cookiesChanged();
    return true;
}

bool CookieJar::deleteCookie(const QNetworkCookie &cookie)
{
    load();
    if (!QNetworkCookieJar::deleteCookie(cookie))
        return false;
    m_saver->changeOccurred();
    emit cookiesChanged();
    return true;
}
