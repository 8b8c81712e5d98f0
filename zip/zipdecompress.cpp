#include "zipdecompress.h"

#include "core/debuglog.h"
#include "zipentrydevice.h"

#include "core/fileutils.h"
#include "core/messagebox.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>

#include <cerrno>
#include <cstring>
#include <functional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <minizip/unzip.h>

namespace {
const int NoOutput = -102;
const int IoChunk = 512 * 1024;

bool isAllZero(const char *data, int size)
{
    return size > 0 && data[0] == 0 && memcmp(data, data + 1, size_t(size - 1)) == 0;
}

QString decode(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes);
}

// The archive as the library reads it: through a window of the file kept across its seeks. The
// library seeks before reading each directory entry and header, and a stdio stream throws its
// buffer away at every seek, which made listing an archive of many entries two system calls per
// entry.
struct WindowedArchive
{
    static constexpr qint64 WindowSize = 64 * 1024;
    int fd = -1;
    qint64 size = 0;
    qint64 position = 0;
    qint64 windowStart = 0;
    QByteArray window;
    bool failed = false;
};

voidpf ZCALLBACK windowOpen(voidpf, const void *filename, int mode)
{
    if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ || !filename)
        return nullptr;
    // Non-blocking, so a FIFO in the archive's place is refused instead of waiting for a writer.
    const int fd = ::open(static_cast<const char *>(filename), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return nullptr;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    auto *archive = new WindowedArchive;
    archive->fd = fd;
    archive->size = qint64(info.st_size);
    return archive;
}

uLong ZCALLBACK windowRead(voidpf, voidpf stream, void *buffer, uLong size)
{
    auto *archive = static_cast<WindowedArchive *>(stream);
    char *out = static_cast<char *>(buffer);
    uLong done = 0;
    while (done < size && archive->position < archive->size) {
        const qint64 inWindow = archive->position - archive->windowStart;
        if (inWindow >= 0 && inWindow < archive->window.size()) {
            const qint64 count = qMin<qint64>(archive->window.size() - inWindow, qint64(size - done));
            memcpy(out + done, archive->window.constData() + inWindow, size_t(count));
            done += uLong(count);
            archive->position += count;
            continue;
        }
        archive->window.resize(int(WindowedArchive::WindowSize));
        ssize_t got;
        do {
            got = ::pread(archive->fd, archive->window.data(), size_t(archive->window.size()),
                          off_t(archive->position));
        } while (got < 0 && errno == EINTR);
        if (got <= 0) {
            archive->window.clear();
            archive->failed = got < 0;
            break;
        }
        archive->window.resize(int(got));
        archive->windowStart = archive->position;
    }
    return done;
}

uLong ZCALLBACK windowWrite(voidpf, voidpf, const void *, uLong)
{
    return 0;
}

ZPOS64_T ZCALLBACK windowTell(voidpf, voidpf stream)
{
    return ZPOS64_T(static_cast<WindowedArchive *>(stream)->position);
}

long ZCALLBACK windowSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin)
{
    auto *archive = static_cast<WindowedArchive *>(stream);
    qint64 base = 0;
    switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
        base = 0;
        break;
    case ZLIB_FILEFUNC_SEEK_CUR:
        base = archive->position;
        break;
    case ZLIB_FILEFUNC_SEEK_END:
        base = archive->size;
        break;
    default:
        return -1;
    }
    // The library passes backward moves as wrapped unsigned offsets, as fseeko takes them.
    const qint64 target = base + qint64(offset);
    if (target < 0)
        return -1;
    archive->position = target;
    return 0;
}

int ZCALLBACK windowClose(voidpf, voidpf stream)
{
    auto *archive = static_cast<WindowedArchive *>(stream);
    const int result = ::close(archive->fd);
    delete archive;
    return result;
}

int ZCALLBACK windowError(voidpf, voidpf stream)
{
    return static_cast<WindowedArchive *>(stream)->failed ? 1 : 0;
}

zlib_filefunc64_def *windowedFunctions()
{
    static zlib_filefunc64_def functions = {windowOpen, windowRead, windowWrite, windowTell,
                                            windowSeek, windowClose, windowError, nullptr};
    return &functions;
}

quint64 littleEndian(const char *at, int bytes)
{
    quint64 value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | quint8(at[i]);
    return value;
}
} // namespace

// Owns the minizip handle and passes the library's own codes through.
class ZipArchiveHandle
{
public:
    ~ZipArchiveHandle() { close(); }

    int open(const QString &path)
    {
        if (handle)
            return -2;
        handle = unzOpen2_64(QFile::encodeName(path).constData(), windowedFunctions());
        if (!handle)
            return -1;
        data.setFileName(path);
        if (!data.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
            close();
            return -1;
        }
        return 0;
    }
    void close()
    {
        if (handle) {
            unzClose(handle);
            handle = nullptr;
        }
        data.close();
    }
    int globalInfo(unz_global_info64 *out)
    {
        if (!out)
            return NoOutput;
        return unzGetGlobalInfo64(handle, out);
    }
    int entryInfo(ZipEntryInfo *out)
    {
        if (!out)
            return NoOutput;
        unz_file_info64 raw;
        int result = unzGetCurrentFileInfo64(handle, &raw, nullptr, 0, nullptr, 0, nullptr, 0);
        if (result != UNZ_OK)
            return result;
        QByteArray name(int(raw.size_filename) + 1, '\0');
        QByteArray extra(int(raw.size_file_extra) + 1, '\0');
        QByteArray comment(int(raw.size_file_comment) + 1, '\0');
        result = unzGetCurrentFileInfo64(handle, &raw, name.data(), uLong(name.size()), extra.data(),
                                         uLong(extra.size()), comment.data(), uLong(comment.size()));
        if (result != UNZ_OK)
            return result;
        out->versionMadeBy = quint32(raw.version);
        out->versionNeeded = quint32(raw.version_needed);
        out->flags = quint32(raw.flag);
        out->compressionMethod = quint32(raw.compression_method);
        out->dosDate = quint32(raw.dosDate);
        out->crc = quint32(raw.crc);
        out->compressedSize = raw.compressed_size;
        out->uncompressedSize = raw.uncompressed_size;
        out->nameLength = quint32(raw.size_filename);
        out->extraLength = quint32(raw.size_file_extra);
        out->commentLength = quint32(raw.size_file_comment);
        out->diskNumber = quint32(raw.disk_num_start);
        out->internalAttributes = quint32(raw.internal_fa);
        out->externalAttributes = quint32(raw.external_fa);
        out->seconds = int(raw.tmu_date.tm_sec);
        out->minutes = int(raw.tmu_date.tm_min);
        out->hours = int(raw.tmu_date.tm_hour);
        out->day = int(raw.tmu_date.tm_mday);
        out->month = int(raw.tmu_date.tm_mon);
        out->year = int(raw.tmu_date.tm_year);
        name.chop(1);
        extra.chop(1);
        comment.chop(1);
        applyZip64(extra, out);
        out->name = decode(name);
        out->extra = extra;
        out->comment = decode(comment);
        return UNZ_OK;
    }
    // The zip64 extra field holds a 64-bit value for each of the directory record's fields that
    // is a placeholder, in order. Which ones those are is read from the record itself: minizip
    // 1.1 keeps the placeholders on 64-bit systems (it compares them with (unsigned long)-1),
    // while the one of zlib 1.3 replaces them with the extra field's values.
    void applyZip64(const QByteArray &extra, ZipEntryInfo *out)
    {
        headerOffset = -1;
        for (int at = 0; at + 4 <= extra.size();) {
            const int id = int(littleEndian(extra.constData() + at, 2));
            const int size = int(littleEndian(extra.constData() + at + 2, 2));
            const char *field = extra.constData() + at + 4;
            at += 4 + size;
            if (id != 1 || at > extra.size())
                continue;
            char record[46];
            if (!data.seek(qint64(unzGetOffset64(handle))) || data.read(record, sizeof record) != qint64(sizeof record)
                || memcmp(record, "PK\x01\x02", 4) != 0)
                return;
            int used = 0;
            if (littleEndian(record + 24, 4) == 0xffffffffu && used + 8 <= size) {
                out->uncompressedSize = littleEndian(field + used, 8);
                used += 8;
            }
            if (littleEndian(record + 20, 4) == 0xffffffffu && used + 8 <= size) {
                out->compressedSize = littleEndian(field + used, 8);
                used += 8;
            }
            if (littleEndian(record + 42, 4) == 0xffffffffu && used + 8 <= size)
                headerOffset = qint64(littleEndian(field + used, 8));
        }
    }
    // Where the current entry's stored bytes begin.
    int dataOffset(qint64 *offset)
    {
        if (headerOffset < 0) {
            // Let the library check the local header against the directory and name the data's start.
            int method = 0;
            int level = 0;
            const int result = unzOpenCurrentFile2(handle, &method, &level, 1);
            if (result != UNZ_OK)
                return result;
            *offset = qint64(unzGetCurrentFileZStreamPos64(handle));
            return unzCloseCurrentFile(handle);
        }
        char header[30];
        if (!data.seek(headerOffset) || data.read(header, sizeof header) != qint64(sizeof header)
            || memcmp(header, "PK\x03\x04", 4) != 0)
            return UNZ_BADZIPFILE;
        *offset = headerOffset + qint64(sizeof header) + qint64(littleEndian(header + 26, 2))
            + qint64(littleEndian(header + 28, 2));
        return UNZ_OK;
    }
    int firstEntry()
    {
        const int result = unzGoToFirstFile(handle);
        if (result != UNZ_OK)
            qCDebug(lcZip) << QStringLiteral("转到文件第一个文件失败");
        return result;
    }
    int nextEntry() { return unzGoToNextFile(handle); }
    int locate(const QString &name, int caseSensitivity)
    {
        // minizip: 1 compares exactly, 2 ignores ASCII case.
        return unzLocateFile(handle, name.toUtf8().constData(), caseSensitivity == 1 ? 1 : 2);
    }

    QString path;
    unzFile handle = nullptr;
    // The archive again, for reading entry data with 64-bit sizes.
    QFile data;
    qint64 headerOffset = -1;
};

ZipDecompress::ZipDecompress(QObject *parent)
    : QObject(parent)
    , m_handle(new ZipArchiveHandle)
{
}

ZipDecompress::~ZipDecompress() = default;

void ZipDecompress::setArchivePath(const QString &path)
{
    if (!path.isEmpty())
        m_handle->path = path;
}

QString ZipDecompress::archivePath() const
{
    return m_handle->path;
}

int ZipDecompress::open()
{
    return open(m_handle->path);
}

int ZipDecompress::openQuietly(const QString &path)
{
    close();
    return m_handle->open(path) == 0 ? Ok : OpenFailed;
}

int ZipDecompress::open(const QString &path)
{
    if (openQuietly(path) != Ok) {
        showCriticalMessage(QStringLiteral("错误"), QStringLiteral("悲剧啦，不能打开zip"));
        return OpenFailed;
    }
    return Ok;
}

void ZipDecompress::close()
{
    m_handle->close();
}

bool ZipDecompress::isOpen() const
{
    return m_handle->handle != nullptr;
}

bool ZipDecompress::isSafeEntryName(const QString &name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\')))
        return false;
    if (name.size() > 1 && name.at(1) == QLatin1Char(':'))
        return false;
    static const QRegularExpression separators(QStringLiteral("[/\\\\]"));
    const QStringList segments = name.split(separators);
    for (const QString &segment : segments) {
        if (segment == QLatin1String(".."))
            return false;
    }
    return true;
}

QList<ZipEntryInfo> ZipDecompress::entries(int *result)
{
    QList<ZipEntryInfo> found;
    int code = Ok;
    unz_global_info64 global;
    if (!isOpen()) {
        code = NotOpen;
    } else if (m_handle->globalInfo(&global) != UNZ_OK) {
        code = GlobalInfoFailed;
    } else if (global.number_entry > 0 && m_handle->firstEntry() != UNZ_OK) {
        code = EntryInfoFailed;
    } else {
        for (ZPOS64_T i = 0; i < global.number_entry; ++i) {
            ZipEntryInfo info;
            if (m_handle->entryInfo(&info) != UNZ_OK) {
                qCDebug(lcZip) << QStringLiteral("无法读取当前文件信息!");
                code = EntryInfoFailed;
                break;
            }
            found.append(info);
            if (i + 1 < global.number_entry && m_handle->nextEntry() != UNZ_OK) {
                code = EntryInfoFailed;
                break;
            }
        }
    }
    if (code != Ok)
        found.clear();
    if (result)
        *result = code;
    return found;
}

QStringList ZipDecompress::entryNames(int *result)
{
    QStringList names;
    const QList<ZipEntryInfo> found = entries(result);
    names.reserve(found.size());
    for (const ZipEntryInfo &info : found)
        names.append(info.name);
    return names;
}

int ZipDecompress::readCurrent(const ZipEntryInfo &info, const std::function<bool(const char *, int)> &sink)
{
    if (!ZipEntryDevice::canRead(info))
        return ReadFailed;
    qint64 offset = 0;
    if (m_handle->dataOffset(&offset) != UNZ_OK)
        return ReadFailed;
    ZipEntryDevice entry(&m_handle->data, offset, info);
    if (!entry.open(QIODevice::ReadOnly))
        return ReadFailed;
    // Buffers no larger than the entry claims to need: most entries are small, and each read
    // would otherwise take half a megabyte.
    QByteArray out(int(qBound<quint64>(1, info.uncompressedSize, IoChunk)), Qt::Uninitialized);
    while (!entry.atEnd()) {
        const qint64 count = entry.read(out.data(), out.size());
        if (count <= 0)
            return ReadFailed;
        if (!sink(out.constData(), int(count)))
            return WriteFailed;
    }
    return Ok;
}

std::unique_ptr<ZipEntryDevice> ZipDecompress::openEntry(const QString &entryName, int caseSensitivity)
{
    if (entryName.isEmpty() || !isOpen() || m_handle->locate(entryName, caseSensitivity) != UNZ_OK)
        return nullptr;
    ZipEntryInfo info;
    qint64 offset = 0;
    if (m_handle->entryInfo(&info) != UNZ_OK || info.name.endsWith(QLatin1Char('/'))
        || !ZipEntryDevice::canRead(info) || m_handle->dataOffset(&offset) != UNZ_OK)
        return nullptr;
    // A descriptor of its own, so the archive may be closed while the entry is read.
    auto archive = std::make_unique<QFile>(m_handle->data.fileName());
    if (!archive->open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return nullptr;
    auto entry = std::make_unique<ZipEntryDevice>(archive.get(), offset, info);
    archive.release()->setParent(entry.get());
    if (!entry->open(QIODevice::ReadOnly))
        return nullptr;
    return entry;
}

int ZipDecompress::extractCurrent(const QString &target, const ZipEntryInfo &info)
{
    QFile out(target);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return WriteFailed;
    qint64 written = 0;
    bool endsInHole = false;
    int result = readCurrent(info, [&](const char *bytes, int count) {
        written += count;
        // Runs of zeros become holes: a pre-sized image or database costs only its real data.
        endsInHole = isAllZero(bytes, count);
        if (endsInHole)
            return out.seek(written);
        return out.write(bytes, count) == count;
    });
    if (result == Ok && endsInHole && !out.resize(written))
        result = WriteFailed;
    if (result == Ok && !out.flush())
        result = WriteFailed;
    out.close();
    if (result != Ok) {
        QFile::remove(target);
        return result;
    }
    // Keep the permission bits of archives made on Unix, so programs stay executable.
    if ((info.versionMadeBy >> 8) == 3) {
        const quint32 mode = (info.externalAttributes >> 16) & 0777;
        if (mode) {
            QFile::Permissions p;
            if (mode & 0400) p |= QFile::ReadOwner | QFile::ReadUser;
            if (mode & 0200) p |= QFile::WriteOwner | QFile::WriteUser;
            if (mode & 0100) p |= QFile::ExeOwner | QFile::ExeUser;
            if (mode & 0040) p |= QFile::ReadGroup;
            if (mode & 0020) p |= QFile::WriteGroup;
            if (mode & 0010) p |= QFile::ExeGroup;
            if (mode & 0004) p |= QFile::ReadOther;
            if (mode & 0002) p |= QFile::WriteOther;
            if (mode & 0001) p |= QFile::ExeOther;
            QFile::setPermissions(target, p);
        }
    }
    return Ok;
}

int ZipDecompress::extractAll(const QString &destination)
{
    if (destination.isEmpty())
        return BadArgument;
    unz_global_info64 global;
    if (!isOpen() || m_handle->globalInfo(&global) != UNZ_OK)
        return GlobalInfoFailed;

    // Every name is checked before anything is written, so a hostile archive leaves no trace.
    int listed = Ok;
    const QStringList names = entryNames(&listed);
    if (listed != Ok)
        return listed;
    for (const QString &name : names) {
        if (!isSafeEntryName(name)) {
            qCDebug(lcZip) << "refused entry name outside the destination:" << name;
            return UnsafeEntryName;
        }
    }

    const QString root = absolutePath(destination);
    QSet<QString> madeDirs;
    m_handle->firstEntry();
    for (ZPOS64_T i = 0; i < global.number_entry; ++i) {
        ZipEntryInfo info;
        if (m_handle->entryInfo(&info) != UNZ_OK) {
            qCDebug(lcZip) << QStringLiteral("无法读取当前文件信息!");
            return EntryInfoFailed;
        }
        if (!info.name.endsWith(QLatin1Char('/'))) {
            const QString target = root + QLatin1Char('/') + info.name;
            const QString parent = target.left(target.lastIndexOf(QLatin1Char('/')));
            if (!madeDirs.contains(parent)) {
                if (!makeDir(parent))
                    return WriteFailed;
                madeDirs.insert(parent);
            }
            const int result = extractCurrent(target, info);
            if (result != Ok) {
                qCDebug(lcZip) << "cannot unpack" << info.name << "code" << result;
                return result;
            }
        }
        if (i + 1 < global.number_entry && m_handle->nextEntry() != UNZ_OK) {
            qCDebug(lcZip) << QStringLiteral("无法读取当前文件信息!");
            return EntryInfoFailed;
        }
    }
    qCDebug(lcZip) << QStringLiteral("解压结束");
    return Ok;
}

int ZipDecompress::readEntry(const QString &entryName, QByteArray *buffer, int caseSensitivity,
                             QString *storedName)
{
    if (entryName.isEmpty() || !buffer)
        return BadArgument;
    if (!isOpen())
        return NotOpen;
    if (m_handle->locate(entryName, caseSensitivity) != UNZ_OK)
        return EntryNotFound;
    ZipEntryInfo info;
    if (m_handle->entryInfo(&info) != UNZ_OK) {
        qCDebug(lcZip) << QStringLiteral("无法读取当前文件信息!");
        return EntryInfoFailed;
    }
    if (storedName)
        *storedName = info.name;
    if (info.name.endsWith(QLatin1Char('/')))
        return Ok;
    if (info.uncompressedSize > quint64(std::numeric_limits<int>::max() - 64)) {
        qCDebug(lcZip) << QStringLiteral("解压出错");
        return ReadFailed;
    }
    // Grown as bytes really arrive: the stated size is the archive's claim, and a few hostile
    // bytes can claim gigabytes.
    QByteArray data;
    data.reserve(int(qMin<quint64>(info.uncompressedSize, quint64(IoChunk))));
    const int result = readCurrent(info, [&](const char *bytes, int count) {
        data.append(bytes, count);
        return true;
    });
    if (result != Ok) {
        qCDebug(lcZip) << QStringLiteral("解压出错");
        return ReadFailed;
    }
    *buffer = data;
    return Ok;
}
