#pragma once

#include <QByteArray>
#include <QHash>
#include <QIODevice>
#include <QString>

#include <functional>
#include <list>
#include <memory>

class ZipDecompress;

// Maps "package/entry" paths to entries of the zip file "package" (or "package.zip") below
// a root directory. An entry up to largeEntrySize() is decompressed once and held once, however
// it was spelled, while it is among the most recently used ones that fit in the byte budget;
// a larger one is read from the archive afresh at each request, as a stream. A package replaced
// while the program runs (another file, size or time) is read afresh. Never opens a dialog: a
// damaged package is just a miss.
class PackageResources
{
    Q_DISABLE_COPY(PackageResources)
public:
    // What a path names in a package: bytes held by the cache (valid until the next lookup), or
    // a large entry's own stream, open at its start and owned by the caller.
    struct Entry
    {
        const QByteArray *bytes = nullptr;
        std::unique_ptr<QIODevice> stream;
        qint64 size = 0;
    };

    static const qint64 DefaultCacheBudget = 64 * 1024 * 1024;
    static const qint64 DefaultLargeEntrySize = 8 * 1024 * 1024;

    explicit PackageResources(const QString &rootDir);
    ~PackageResources();

    // Entries beyond budgetBytes are dropped, least recently used first; entries larger than
    // largeEntrySize (or the budget) are never held.
    void setCacheLimits(qint64 budgetBytes, qint64 largeEntrySize);
    qint64 largeEntrySize() const;
    // Package files are read only when this accepts their real path (every link resolved); the
    // file read is the one accepted.
    void setFileFilter(const std::function<bool(const QString &)> &accept);

    Entry entry(const QString &path);
    // The bytes of an entry that may be held; null on any failure and for large entries.
    const QByteArray *packageBytes(const QString &path);

    qint64 cachedBytes() const { return m_cachedBytes; }
    // Whether the path's entry is held now; reads nothing.
    bool isCached(const QString &path);

private:
    struct Archive;
    struct Cached
    {
        Archive *archive;
        QString storedName;
        QByteArray bytes;
    };
    struct Located
    {
        Archive *archive = nullptr;
        QString storedName;
        qint64 size = 0;
    };

    Located locate(const QString &path);
    Archive *archiveFor(const QString &packageName);
    QString acceptedRealFile(const QString &file);
    const QByteArray *cachedBytes(const Located &found);
    std::unique_ptr<QIODevice> stream(const Located &found);
    void forget(Archive *archive);
    void evictBeyond(qint64 budget);

    QString m_root;
    std::function<bool(const QString &)> m_accept;
    QHash<QString, Archive *> m_archives; // by archive file
    std::list<Cached> m_recent; // most recently used first
    qint64 m_cachedBytes = 0;
    qint64 m_budget = DefaultCacheBudget;
    qint64 m_largeEntrySize = DefaultLargeEntrySize;
};

// The process-wide lookup below the program's directory.
const QByteArray *packageBytes(const QString &path);
