#pragma once

#include <QByteArray>
#include <QString>

// An update package held open for as long as it is checked and unpacked: whatever is renamed
// over its path meanwhile, every read goes to the bytes this object opened. Code that opens
// files by name (the signature check, the zip reader) is handed openPath(), which names this
// very open file.
class PackageFile
{
public:
    explicit PackageFile(const QString &path);
    ~PackageFile();
    PackageFile(const PackageFile &) = delete;
    PackageFile &operator=(const PackageFile &) = delete;

    // False when the path is missing, unreadable or not a regular file.
    bool isOpen() const { return m_fd >= 0; }
    QString openPath() const;
    // The SHA-256 of the whole file as it is now; empty when it cannot be read.
    QByteArray sha256() const;

private:
    int m_fd = -1;
};

// The SHA-256 of the package the updater checked and unpacked, kept as "package.sha256" in the
// version's download directory: "<hex>  <package file name>". Every later unpacking or start of
// what it holds first compares the package with it; a package without it has not been checked.
namespace PackageRecord {

QString path(const QString &downloadDir);
// Written beside and renamed over the old record, so a kill leaves one or the other.
bool write(const QString &downloadDir, const QString &packageName, const QByteArray &sha256);
// The recorded digest of that package; empty when there is none, it names another package, or
// it is not a record this program wrote.
QByteArray read(const QString &downloadDir, const QString &packageName);
// Whether the package at downloadDir/packageName is, byte for byte, the one recorded.
bool matches(const QString &downloadDir, const QString &packageName);

} // namespace PackageRecord
