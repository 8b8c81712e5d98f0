// Zip archives from the network (update packages) and beside the program (web packages): the
// directory walk, reading entries into memory, and unpacking into a folder.
#include "fuzzsetup.h"

#include "zip/zipdecompress.h"

#include <QDirIterator>

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
        zip.readEntry(name, &buffer, 1, &stored);
        zip.readEntry(name.toUpper(), &buffer, 0);
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
