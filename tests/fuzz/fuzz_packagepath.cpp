// The package path lookup: a request path from any local client mapped to an entry of a zip
// package beside the program ("ui/js/app.js" -> ui.zip, entry js/app.js).
#include "fuzzsetup.h"

#include "zip/packageresources.h"

#include <QProcess>

KAVO_FUZZ_SETUP

namespace {
// ui.zip with a few entries, made once with the zip tool.
QString packageRoot()
{
    const QString root = fuzz::path(QStringLiteral("root"));
    QDir().mkpath(root + QStringLiteral("/src/js"));
    QDir().mkpath(root + QStringLiteral("/src/css"));
    const QStringList files{QStringLiteral("js/app.js"), QStringLiteral("css/site.css"), QStringLiteral("index.html")};
    for (const QString &name : files) {
        QFile file(root + QStringLiteral("/src/") + name);
        if (!file.open(QIODevice::WriteOnly))
            abort();
        file.write(name.toUtf8().repeated(10));
    }
    QProcess zip;
    zip.setWorkingDirectory(root + QStringLiteral("/src"));
    zip.start(QStringLiteral("zip"), QStringList{QStringLiteral("-q"), QStringLiteral("-r"),
                                                 root + QStringLiteral("/ui.zip"), QStringLiteral(".")});
    if (!zip.waitForFinished() || zip.exitCode() != 0)
        abort();
    return root;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString root = packageRoot();
    // A fresh lookup per input: a cache filled by earlier inputs would hide their paths' work.
    PackageResources packages(root);
    const QString path = QString::fromUtf8(fuzz::bytes(data, size));
    const QByteArray *found = packages.packageBytes(path);
    if (!found)
        return 0;
    // Only the package's own entries are ever found, and each is held once.
    static const QList<QByteArray> entries{QByteArray("js/app.js").repeated(10), QByteArray("css/site.css").repeated(10),
                                           QByteArray("index.html").repeated(10)};
    if (!entries.contains(*found) || found != packages.packageBytes(path))
        abort();
    return 0;
}
