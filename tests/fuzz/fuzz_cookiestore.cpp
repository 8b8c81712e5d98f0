// The cookie store "cookies.ini" in the data folder. An input that looks like an INI file is
// the store itself, read by a fresh jar; any other input is the stored cookie list's own stream
// (what the store's "cookies" variant holds), decoded as the settings reader decodes it, which
// reaches the list's reader thousands of times faster.
#include "fuzzsetup.h"

#include "network/cookiejar.h"

#include <QDataStream>
#include <QNetworkCookie>
#include <QUrl>

// The stored form of the cookie list, as the jar writes and reads it.
QDataStream &operator<<(QDataStream &stream, const QList<QNetworkCookie> &list);
QDataStream &operator>>(QDataStream &stream, QList<QNetworkCookie> &list);

KAVO_FUZZ_SETUP

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString store = [] {
        const QString path = CookieJar::storePath();
        QDir().mkpath(QFileInfo(path).path());
        // The first load registers the list's stream operators.
        CookieJar().storedCookies();
        return path;
    }();
    static const QString aside = store + QStringLiteral(".damaged");
    if (size > 0 && data[0] == '[') {
        fuzz::writeInput(store, data, size);
        QFile::remove(aside);
        CookieJar jar;
        for (const QNetworkCookie &cookie : jar.storedCookies())
            cookie.toRawForm();
        jar.cookiesForUrl(QUrl(QStringLiteral("http://a.example/")));
        jar.blockedCookies();
        jar.acceptPolicy();
        return 0;
    }
    // The list's own reader, without the variant around it: a variant of another type is Qt's
    // reader, which trusts the counts it reads.
    const QByteArray bytes = fuzz::bytes(data, size);
    QDataStream in(bytes);
    QList<QNetworkCookie> cookies;
    ::operator>>(in, cookies);
    QByteArray again;
    {
        QDataStream out(&again, QIODevice::WriteOnly);
        ::operator<<(out, cookies);
    }
    QDataStream back(again);
    QList<QNetworkCookie> reread;
    ::operator>>(back, reread);
    return 0;
}
