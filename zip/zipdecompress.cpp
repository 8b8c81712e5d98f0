#include "zipdecompress.h"

#include "bridge/fileutils.h"
#include "bridge/messagebox.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QSet>

#include <minizip/unzip.h>

namespace {
const int NoOutput = -102;
const int IoChunk = 512 * 1024;

QString decode(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes);
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
        handle = unzOpen64(QFile::encodeName(path).constData());
        return handle ? 0 : -1;
    }
    void close()
    {
        if (handle) {
            unzClose(handle);
            handle = nullptr;
        }
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
        out->name = decode(name);
        out->extra = extra;
        out->comment = decode(comment);
        return UNZ_OK;
    }
    int firstEntry()
    {
        const int result = unzGoToFirstFile(handle);
        if (result != UNZ_OK)
            qDebug() << QStringLiteral("转到文件第一个文件失败");
        return result;
    }
    int nextEntry() { return unzGoToNextFile(handle); }
    int openEntry() { return unzOpenCurrentFile(handle); }
    int closeEntry() { return unzCloseCurrentFile(handle); }
    int locate(const QString &name, int caseSensitivity)
    {
        // minizip: 1 compares exactly, 2 ignores ASCII case.
        return unzLocateFile(handle, name.toUtf8().constData(), caseSensitivity == 1 ? 1 : 2);
    }
    int read(char *buffer, unsigned size) { return unzReadCurrentFile(handle, buffer, size); }

    QString path;
    unzFile handle = nullptr;
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
    const QVector<QStringRef> segments = name.splitRef(QRegExp(QStringLiteral("[/\\\\]")));
    for (const QStringRef &segment : segments) {
        if (segment == QLatin1String(".."))
            return false;
    }
    return true;
}

QStringList ZipDecompress::entryNames(int *result)
{
    QStringList names;
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
                qDebug() << QStringLiteral("无法读取当前文件信息!");
                code = EntryInfoFailed;
                break;
            }
            names.append(info.name);
            if (i + 1 < global.number_entry && m_handle->nextEntry() != UNZ_OK) {
                code = EntryInfoFailed;
                break;
            }
        }
    }
    if (code != Ok)
        names.clear();
    if (result)
        *result = code;
    return names;
}

int ZipDecompress::extractCurrent(const QString &target, const ZipEntryInfo &info)
{
    if (m_handle->openEntry() != UNZ_OK)
        return ReadFailed;
    QFile out(target);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        m_handle->closeEntry();
        return WriteFailed;
    }
    QByteArray buffer(IoChunk, Qt::Uninitialized);
    int result = Ok;
    for (;;) {
        const int count = m_handle->read(buffer.data(), unsigned(buffer.size()));
        if (count < 0) {
            result = ReadFailed;
            break;
        }
        if (count == 0)
            break;
        if (out.write(buffer.constData(), count) != count) {
            result = WriteFailed;
            break;
        }
    }
    // The library checks the CRC when the entry is closed.
    if (m_handle->closeEntry() != UNZ_OK && result == Ok)
        result = ReadFailed;
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
            qDebug() << "refused entry name outside the destination:" << name;
            return UnsafeEntryName;
        }
    }

    const QString root = absolutePath(destination);
    QSet<QString> madeDirs;
    m_handle->firstEntry();
    for (ZPOS64_T i = 0; i < global.number_entry; ++i) {
        ZipEntryInfo info;
        if (m_handle->entryInfo(&info) != UNZ_OK) {
            qDebug() << QStringLiteral("无法读取当前文件信息!");
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
                qDebug() << "cannot unpack" << info.name << "code" << result;
                return result;
            }
        }
        if (i + 1 < global.number_entry && m_handle->nextEntry() != UNZ_OK) {
            qDebug() << QStringLiteral("无法读取当前文件信息!");
            return EntryInfoFailed;
        }
    }
    qDebug() << QStringLiteral("解压结束");
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
        qDebug() << QStringLiteral("无法读取当前文件信息!");
        return EntryInfoFailed;
    }
    if (storedName)
        *storedName = info.name;
    if (info.name.endsWith(QLatin1Char('/')))
        return Ok;
    if (info.uncompressedSize > quint64(std::numeric_limits<int>::max() - 64)) {
        qDebug() << QStringLiteral("解压出错");
        return ReadFailed;
    }
    if (m_handle->openEntry() != UNZ_OK) {
        qDebug() << QStringLiteral("解压出错");
        return ReadFailed;
    }
    QByteArray data(int(info.uncompressedSize), Qt::Uninitialized);
    int filled = 0;
    int result = Ok;
    while (filled < data.size()) {
        const int count = m_handle->read(data.data() + filled, unsigned(qMin(IoChunk, data.size() - filled)));
        if (count < 0) {
            result = ReadFailed;
            break;
        }
        if (count == 0)
            break;
        filled += count;
    }
    char probe;
    if (result == Ok && m_handle->read(&probe, 1) != 0)
        result = ReadFailed; // more data than the directory promised
    if (m_handle->closeEntry() != UNZ_OK)
        result = ReadFailed;
    if (result != Ok || filled != data.size()) {
        qDebug() << QStringLiteral("解压出错");
        return ReadFailed;
    }
    *buffer = data;
    return Ok;
}
