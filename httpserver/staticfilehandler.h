#pragma once

#include "zip/packageresources.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <sys/stat.h>

class HttpRequest;
class HttpResponse;

// Answers a request with a file below the root: from a zip package first, then from the
// file system. Paths never leave the root, nor do the files they reach through symbolic links;
// foreign Host names are refused, so a web page elsewhere cannot read the installation through
// DNS rebinding; and files the programs write (private paths, SQLite databases) answer as
// missing, however they are reached.
class StaticFileHandler
{
    Q_DISABLE_COPY(StaticFileHandler)
public:
    explicit StaticFileHandler(const QString &rootDir);

    QString rootDir() const { return m_root; }
    void handle(HttpRequest *request, HttpResponse *response);

    // Files up to this size are read whole; larger ones are streamed.
    static const qint64 WholeReadLimit = 1024 * 1024;

    // Files up to this size stay in memory while unchanged, within the budget.
    static const qint64 CacheableSize = 256 * 1024;
    static const qint64 CacheBudget = 8 * 1024 * 1024;

    static bool isAllowedHost(const QString &hostHeader);
    static bool isSafePath(const QString &path);
    // What the programs and their pages write is never served: the update area, logs, the
    // user's settings, qt.conf, a database's journal, write-ahead log and shared memory.
    // Databases themselves are recognised by their contents (isDatabase).
    static bool isPrivatePath(const QString &path);
    static bool isDatabase(const char *head, qint64 size);
    // A file's real location (every link resolved) may be served: it lies below the root's
    // real location and is not private there.
    bool isServable(const QString &realPath);

private:
    struct CachedFile
    {
        QByteArray bytes;
        dev_t device = 0;
        ino_t inode = 0;
        qint64 size = 0;
        qint64 modified = 0;
        qint64 changed = 0;
        bool matches(const struct stat &st) const;
    };
    void remember(const QByteArray &nativePath, const struct stat &st, const QByteArray &bytes);

    QString realPathOf(int fd, const QByteArray &nativePath) const;

    QString m_root;
    QString m_realRoot;
    PackageResources m_packages;
    QHash<QByteArray, CachedFile> m_cache;
    qint64 m_cacheBytes = 0;
};
