#include "packageresources.h"

#include "core/debuglog.h"
#include "zipdecompress.h"
#include "zipentrydevice.h"

#include "core/fileutils.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <limits>

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

qint64 nanoseconds(const timespec &time)
{
    return time.tv_sec * 1000000000LL + time.tv_nsec;
}
} // namespace

struct PackageResources::Archive
{
    struct Stored
    {
        QString name;
        qint64 size = 0;
    };
    bool isSameFile(const struct stat &st) const
    {
        return device == st.st_dev && inode == st.st_ino && size == st.st_size && modified == nanoseconds(st.st_mtim);
    }

    QString realFile;
    ZipDecompress zip;
    bool indexed = false;
    // The file as it was indexed; another file, size or time means another package.
    dev_t device = 0;
    ino_t inode = 0;
    qint64 size = -1;
    qint64 modified = -1;
    // ASCII-lower-cased name to the entry as stored; the first of equal spellings wins, as
    // with the library's own case-insensitive lookup.
    QHash<QString, Stored> index;
    QHash<QString, std::list<Cached>::iterator> cached; // by stored entry name
};

PackageResources::PackageResources(const QString &rootDir)
    : m_root(rootDir)
{
}

PackageResources::~PackageResources()
{
    qDeleteAll(m_archives);
}

void PackageResources::setCacheLimits(qint64 budgetBytes, qint64 largeEntrySize)
{
    m_budget = qMax<qint64>(0, budgetBytes);
    m_largeEntrySize = qMax<qint64>(0, largeEntrySize);
    evictBeyond(m_budget);
}

qint64 PackageResources::largeEntrySize() const
{
    return qMin(m_largeEntrySize, m_budget);
}

void PackageResources::setFileFilter(const std::function<bool(const QString &)> &accept)
{
    m_accept = accept;
}

void PackageResources::forget(Archive *archive)
{
    for (auto it = archive->cached.constBegin(); it != archive->cached.constEnd(); ++it) {
        m_cachedBytes -= it.value()->bytes.size();
        m_recent.erase(it.value());
    }
    archive->cached.clear();
    archive->index.clear();
    archive->indexed = false;
}

void PackageResources::evictBeyond(qint64 budget)
{
    while (m_cachedBytes > budget && !m_recent.empty()) {
        const Cached &oldest = m_recent.back();
        m_cachedBytes -= oldest.bytes.size();
        oldest.archive->cached.remove(oldest.storedName);
        m_recent.pop_back();
    }
}

QString PackageResources::acceptedRealFile(const QString &file)
{
    const QString real = QFileInfo(file).canonicalFilePath();
    if (real.isEmpty() || (m_accept && !m_accept(real))) {
        qCDebug(lcZip) << "package refused by its real path:" << file << real;
        return QString();
    }
    return real;
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
            forget(archive);
        return nullptr;
    }
    if (archive && archive->indexed) {
        if (archive->isSameFile(st))
            return archive;
        qCDebug(lcZip) << "package changed, reading it afresh:" << file;
        forget(archive);
    }
    // The same file as last time was checked then; another one is checked now.
    const QString real = acceptedRealFile(file);
    if (real.isEmpty())
        return nullptr;
    if (!archive) {
        archive = new Archive;
        m_archives.insert(file, archive);
    }
    archive->realFile = real;
    archive->zip.setArchivePath(real);
    if (archive->zip.openQuietly(real) != ZipDecompress::Ok) {
        qCDebug(lcZip) << "package cannot be opened:" << file;
        return nullptr;
    }
    int result = ZipDecompress::Ok;
    const QList<ZipEntryInfo> entries = archive->zip.entries(&result);
    archive->zip.close();
    if (result != ZipDecompress::Ok) {
        qCDebug(lcZip) << "package directory is damaged:" << file;
        return nullptr;
    }
    for (const ZipEntryInfo &info : entries) {
        const QString key = asciiLower(info.name);
        if (!archive->index.contains(key))
            archive->index.insert(key, {info.name, qint64(qMin<quint64>(info.uncompressedSize, quint64(std::numeric_limits<qint64>::max())))});
    }
    archive->indexed = true;
    archive->device = st.st_dev;
    archive->inode = st.st_ino;
    archive->size = st.st_size;
    archive->modified = nanoseconds(st.st_mtim);
    return archive;
}

PackageResources::Located PackageResources::locate(const QString &path)
{
    Located found;
    if (path.endsWith(QLatin1Char('/')))
        return found;
    const int slash = path.indexOf(QLatin1Char('/'));
    if (slash <= 0)
        return found;
    // One "/" after the package name is the separator; one more may stand before the entry.
    QString entryName = path.mid(slash + 1);
    if (entryName.startsWith(QLatin1Char('/')))
        entryName.remove(0, 1);
    if (entryName.isEmpty())
        return found;
    Archive *archive = archiveFor(path.left(slash));
    if (!archive)
        return found;
    const Archive::Stored stored = archive->index.value(asciiLower(entryName));
    if (stored.name.isEmpty() || stored.name.endsWith(QLatin1Char('/')))
        return found;
    found.archive = archive;
    found.storedName = stored.name;
    found.size = stored.size;
    return found;
}

const QByteArray *PackageResources::cachedBytes(const Located &found)
{
    Archive *archive = found.archive;
    const auto cached = archive->cached.constFind(found.storedName);
    if (cached != archive->cached.constEnd()) {
        m_recent.splice(m_recent.begin(), m_recent, cached.value());
        return &cached.value()->bytes;
    }

    QByteArray bytes;
    if (archive->zip.openQuietly(archive->realFile) != ZipDecompress::Ok) {
        qCDebug(lcZip) << "package cannot be opened:" << archive->realFile;
        return nullptr;
    }
    const int result = archive->zip.readEntry(found.storedName, &bytes, 1);
    archive->zip.close();
    if (result != ZipDecompress::Ok) {
        qCDebug(lcZip) << "package entry cannot be read:" << found.storedName << "code" << result;
        return nullptr;
    }
    // Room first, so the new entry is never the one that goes.
    evictBeyond(m_budget - bytes.size());
    m_recent.push_front(Cached{archive, found.storedName, bytes});
    m_cachedBytes += bytes.size();
    archive->cached.insert(found.storedName, m_recent.begin());
    return &m_recent.front().bytes;
}

std::unique_ptr<QIODevice> PackageResources::stream(const Located &found)
{
    ZipDecompress &zip = found.archive->zip;
    if (zip.openQuietly(found.archive->realFile) != ZipDecompress::Ok) {
        qCDebug(lcZip) << "package cannot be opened:" << found.archive->realFile;
        return nullptr;
    }
    std::unique_ptr<QIODevice> entry = zip.openEntry(found.storedName, 1);
    zip.close();
    if (!entry)
        qCDebug(lcZip) << "package entry cannot be read:" << found.storedName;
    return entry;
}

PackageResources::Entry PackageResources::entry(const QString &path)
{
    Entry result;
    const Located found = locate(path);
    if (!found.archive)
        return result;
    if (found.size > largeEntrySize())
        result.stream = stream(found);
    else
        result.bytes = cachedBytes(found);
    if (result.bytes || result.stream)
        result.size = result.bytes ? result.bytes->size() : found.size;
    return result;
}

const QByteArray *PackageResources::packageBytes(const QString &path)
{
    const Located found = locate(path);
    if (!found.archive || found.size > largeEntrySize())
        return nullptr;
    return cachedBytes(found);
}

bool PackageResources::isCached(const QString &path)
{
    const Located found = locate(path);
    return found.archive && found.archive->cached.contains(found.storedName);
}

const QByteArray *packageBytes(const QString &path)
{
    static PackageResources resources(applicationDir());
    return resources.packageBytes(path);
}
