// The cookie store "cookies.ini" in the data folder. An input that looks like an INI file is
// the store itself, read by a fresh jar; any other input is the stored cookie list's own stream
// (what the store's "cookies" variant holds), decoded as the settings reader decodes it, which
// reaches the list's reader thousands of times faster.
#include "fuzzsetup.h"

#include "network/cookiejar.h"

#include <QDataStream>
#include <QNetworkCookie>
#include <QUrl>

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
    if (size > 0 && data[0] == '[') {
        fuzz::writeInput(store, data, size);
        CookieJar jar;
        for (const QNetworkCookie &cookie : jar.storedCookies())
            cookie.toRawForm();
        jar.cookiesForUrl(QUrl(QStringLiteral("http://a.example/")));
        jar.blockedCookies();
        jar.acceptPolicy();
        return 0;
    }
    const QByteArray bytes = fuzz::bytes(data, size);
    QDataStream in(bytes);
    in.setVersion(QDataStream::Qt_4_0);
    QVariant value;
    in >> value;
    const QList<QNetworkCookie> cookies = qvariant_cast<QList<QNetworkCookie>>(value);
    // What was read is written and read back as the jar's save and load would.
    QByteArray again;
    {
        QDataStream out(&again, QIODevice::WriteOnly);
        out.setVersion(QDataStream::Qt_4_0);
        out << QVariant::fromValue(cookies);
    }
    QDataStream back(again);
    back.setVersion(QDataStream::Qt_4_0);
    QVariant reread;
    back >> reread;
    return 0;
}
