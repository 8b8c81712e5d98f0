#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <memory>

class ZipDecompress;

// Maps "package/entry" paths to entries of the zip file "package" (or "package.zip") below
// a root directory. Each entry is decompressed once and held once, however it was spelled.
// A package replaced while the program runs (another size or time) is read afresh.
// Never opens a dialog: a damaged package is just a miss.
class PackageResources
{
    Q_DISABLE_COPY(PackageResources)
public:
    explicit PackageResources(const QString &rootDir);
    ~PackageResources();

    // Null on any failure; the bytes stay owned by the cache and valid until the next call.
    const QByteArray *packageBytes(const QString &path);

private:
    struct Archive;
    Archive *archiveFor(const QString &packageName);

    QString m_root;
    QHash<QString, Archive *> m_archives; // by archive file
};

// The process-wide lookup below the program's directory.
const QByteArray *packageBytes(const QString &path);
