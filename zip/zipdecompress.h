#pragma once

#include <QByteArray>
#include <QObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// One entry's record from the archive's central directory.
struct ZipEntryInfo
{
    quint32 versionMadeBy = 0;
    quint32 versionNeeded = 0;
    quint32 flags = 0;
    quint32 compressionMethod = 0;
    quint32 dosDate = 0;
    quint32 crc = 0;
    quint64 compressedSize = 0;
    quint64 uncompressedSize = 0;
    quint32 nameLength = 0;
    quint32 extraLength = 0;
    quint32 commentLength = 0;
    quint32 diskNumber = 0;
    quint32 internalAttributes = 0;
    quint32 externalAttributes = 0;
    int seconds = 0, minutes = 0, hours = 0, day = 0, month = 0, year = 0;
    QString name;
    QByteArray extra;
    QString comment;
};

class ZipArchiveHandle;
class ZipEntryDevice;

// Reads zip archives: unpacks all entries below a directory, or reads one entry into memory.
// Results are the codes below; entry-level problems go to the debug output.
class ZipDecompress : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ZipDecompress)
public:
    enum Result {
        Ok = 0,
        OpenFailed = 1,
        ReadFailed = 3,
        EntryInfoFailed = 5,
        GlobalInfoFailed = 6,
        BadArgument = 7,
        NotOpen = 9,
        EntryNotFound = 10,
        WriteFailed = 11,
        UnsafeEntryName = 12,
    };

    explicit ZipDecompress(QObject *parent = nullptr);
    ~ZipDecompress() override;

    void setArchivePath(const QString &path);
    QString archivePath() const;
    int open();
    // Shows the critical box when the archive cannot be opened.
    int open(const QString &path);
    // The same without any dialog, for callers that answer peers (the HTTP server).
    int openQuietly(const QString &path);
    void close();
    bool isOpen() const;

    int extractAll(const QString &destination);
    // caseSensitivity 0 compares names without regard to ASCII letter case. On success
    // storedName (if given) receives the entry's name as the archive stores it.
    int readEntry(const QString &entryName, QByteArray *buffer, int caseSensitivity,
                  QString *storedName = nullptr);
    // The stored names of all entries, in archive order; empty on failure.
    QStringList entryNames(int *result = nullptr);
    // The directory records of all entries, in archive order; empty on failure.
    QList<ZipEntryInfo> entries(int *result = nullptr);
    // The named file entry as a device that reads it from the archive on a descriptor of its
    // own, open and at its start, so this archive may be closed meanwhile; null when it cannot
    // be read. caseSensitivity as for readEntry.
    std::unique_ptr<ZipEntryDevice> openEntry(const QString &entryName, int caseSensitivity);

    static bool isSafeEntryName(const QString &name);

private:
    // Streams the current entry's bytes to the sink, checking their length and CRC itself.
    int readCurrent(const ZipEntryInfo &info, const std::function<bool(const char *, int)> &sink);
    int extractCurrent(const QString &target, const ZipEntryInfo &info);

    std::unique_ptr<ZipArchiveHandle> m_handle;
};
