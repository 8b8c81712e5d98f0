#include "packageresources.h"

#include "zipdecompress.h"

#include "core/fileutils.h"

#include <QDebug>
#include <QFileInfo>

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
    QString file;
    ZipDecompress zip;
    bool indexed = false;
    // ASCII-lower-cased name to the name as stored; the first of equal spellings wins, as
    // with the library's own case-insensitive lookup.
    QHash<QString, QString> index;
};

PackageResources::PackageResources(const QString &rootDir)
    : m_root(rootDir)
{
}

PackageResources::~PackageResources()
{
    qDeleteAll(m_archives);
    qDeleteAll(m_contents);
}

PackageResources::Archive *PackageResources::archiveFor(const QString &packageName)
{
    QString fileName = packageName;
    if (!fileName.endsWith(QLatin1String(".zip")))
        fileName += QLatin1String(".zip");
    const QString file = m_root + QLatin1Char('/') + fileName;
    Archive *archive = m_archives.value(file);
    if (!archive) {
        if (!QFileInfo(file).isFile())
            return nullptr;
        archive = new Archive;
        archive->file = file;
        archive->zip.setArchivePath(file);
        m_archives.insert(file, archive);
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
    const QString entryName = path.mid(slash + 1);
    if (entryName.isEmpty())
        return nullptr;
    Archive *archive = archiveFor(path.left(slash));
    if (!archive)
        return nullptr;
    const QString stored = archive->index.value(asciiLower(entryName));
    if (stored.isEmpty() || stored.endsWith(QLatin1Char('/')))
        return nullptr;
    const QString key = archive->file + QLatin1Char('\n') + stored;
    if (QByteArray *cached = m_contents.value(key))
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
    m_contents.insert(key, kept);
    return kept;
}

const QByteArray *packageBytes(const QString &path)
{
    static PackageResources resources(applicationDir());
    return resources.packageBytes(path);
}
