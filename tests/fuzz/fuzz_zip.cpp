// Zip archives from the network (update packages) and beside the program (web packages): the
// directory walk, reading entries into memory or as a stream, and unpacking into a folder.
#include "fuzzsetup.h"

#include "zip/zipdecompress.h"
#include "zip/zipentrydevice.h"

#include <QDirIterator>

#include <cstring>

KAVO_FUZZ_SETUP

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString archive = fuzz::path(QStringLiteral("input.zip"));
    static const QString out = fuzz::path(QStringLiteral("out"));
    fuzz::writeInput(archive, data, size);

    ZipDecompress zip;
    if (zip.openQuietly(archive) != ZipDecompress::Ok)
        return 0;
    int result = 0;
    const QStringList names = zip.entryNames(&result);
    int read = 0;
    for (const QString &name : names) {
        if (++read > 32)
            break;
        QByteArray buffer;
        QString stored;
        const int whole = zip.readEntry(name, &buffer, 1, &stored);
        QByteArray other;
        zip.readEntry(name.toUpper(), &other, 0);
        // The same bytes as a stream, as the HTTP server sends large entries: never more than
        // the entry's record promises, and to its end only when they are the whole entry.
        if (std::unique_ptr<ZipEntryDevice> stream = zip.openEntry(name, 1)) {
            char chunk[4096];
            qint64 got = 0;
            qint64 count;
            bool same = true;
            while ((count = stream->read(chunk, sizeof chunk)) > 0) {
                if (got + count > stream->size())
                    abort();
                same = same && got + count <= buffer.size() && memcmp(buffer.constData() + got, chunk, size_t(count)) == 0;
                got += count;
            }
            if (stream->atEnd() && (whole != ZipDecompress::Ok || !same || got != buffer.size()))
                abort();
        }
    }
    QDir(out).removeRecursively();
    zip.extractAll(out);
    zip.close();
    // Nothing is ever written outside the destination folder.
    QDirIterator it(fuzz::workDir().path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    while (it.hasNext()) {
        const QString name = QFileInfo(it.next()).fileName();
        if (name != QLatin1String("input.zip") && name != QLatin1String("out") && name != QLatin1String("data")
            && name != QLatin1String("config") && name != QLatin1String("cache"))
            abort();
    }
    return 0;
}
