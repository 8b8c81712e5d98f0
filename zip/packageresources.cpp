#include "packageresources.h"

#include "zipdecompress.h"

#include "core/fileutils.h"

#include <QDebug>
#include <QFile>

#include <sys/stat.h>

namespace {
QString asciiLower(const QString &text)
{
    QString lower = text;
    for (QChar &c : lower) {
        if (c.unicode() >= 'A' && c.unicode() <= 'Z')
            c = QChar(c.unicode() + ('a' - 'A'));
    }
    return lower;
}
} // namespace

struct PackageResources::Archive
{
    ~Archive() { qDeleteAll(contents); }
    void forget()
    {
        indexed = false;
        index.clear();
        qDeleteAll(contents);
        contents.clear();
    }

    QString file;
    ZipDecompress zip;
    bool indexed = false;
    // The file as it was indexed; another size or time means another package.
    qint64 size = -1;
    qint64 modified = -1;
    // ASCII-lower-cased name to the name as stored; the first of equal spellings wins, as
    // with the library's own case-insensitive lookup.
    QHash<QString, QString> index;
    QHash<QString, QByteArray *> contents; // by stored entry name
};

PackageResources::PackageResources(const QString &rootDir)
    : m_root(rootDir)
{
}

PackageResources::~PackageResources()
{
    qDeleteAll(m_archives);
}

PackageResources::Archive *PackageResources::archiveFor(const QString &packageName)
{
    QString fileName = packageName;
    if (!fileName.endsWith(QLatin1String(".zip")))
        fileName += QLatin1String(".zip");
    const QString file = m_root + QLatin1Char('/') + fileName;
    Archive *archive = m_archives.value(file);
    struct stat st;
    if (::stat(QFile::encodeName(file).constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
        if (archive)
            archive->forget();
        return nullptr;
    }
    if (!archive) {
        archive = new Archive;
        archive->file = file;
        archive->zip.setArchivePath(file);
        m_archives.insert(file, archive);
    }
    const qint64 modified = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
    if (archive->indexed && (archive->size != st.st_size || archive->modified != modified)) {
        qDebug() << "package changed, reading it afresh:" << file;
        archive->forget();
    }
    if (!archive->indexed) {
        if (archive->zip.openQuietly(file) != ZipDecompress::Ok) {
            qDebug() << "package cannot be opened:" << file;
            return nullptr;
        }
        int result = ZipDecompress::Ok;
        const QStringList names = archive->zip.entryNames(&result);
        archive->zip.close();
        if (result != ZipDecompress::Ok) {
            qDebug() << "package directory is damaged:" << file;
            return nullptr;
        }
        for (const QString &name : names) {
            const QString key = asciiLower(name);
            if (!archive->index.contains(key))
                archive->index.insert(key, name);
        }
        archive->indexed = true;
        archive->size = st.st_size;
        archive->modified = modified;
    }
    return archive;
}

const QByteArray *PackageResources::packageBytes(const QString &path)
{
    if (path.endsWith(QLatin1Char('/')))
        return nullptr;
    const int slash = path.indexOf(QLatin1Char('/'));
    if (slash <= 0)
        return nullptr;
    // One "/" after the package name is the separator; one more may stand before the entry.
    QString entryName = path.mid(slash + 1);
    if (entryName.startsWith(QLatin1Char('/')))
        entryName.remove(0, 1);
    if (entryName.isEmpty())
        return nullptr;
    Archive *archive = archiveFor(path.left(slash));
    if (!archive)
        return nullptr;
    const QString stored = archive->index.value(asciiLower(entryName));
    if (stored.isEmpty() || stored.endsWith(QLatin1Char('/')))
        return nullptr;
    if (QByteArray *cached = archive->contents.value(stored))
        return cached;

    auto bytes = std::make_unique<QByteArray>();
    if (archive->zip.openQuietly(archive->file) != ZipDecompress::Ok) {
        qDebug() << "package cannot be opened:" << archive->file;
        return nullptr;
    }
    const int result = archive->zip.readEntry(stored, bytes.get(), 1);
    archive->zip.close();
    if (result != ZipDecompress::Ok) {
        qDebug() << "package entry cannot be read:" << path << "code" << result;
        return nullptr;
    }
    QByteArray *kept = bytes.release();
    archive->contents.insert(stored, kept);
    return kept;
}

const QByteArray *packageBytes(const QString &path)
{
    static PackageResources resources(applicationDir());
    return resources.packageBytes(path);
}
