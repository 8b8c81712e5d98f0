#include "zipentrydevice.h"

#include "core/debuglog.h"

#include <QDebug>

#include <limits>

#include <zlib.h>

namespace {
// Compressed bytes are read from the archive in pieces of at most this size.
const int InputChunk = 64 * 1024;
// zlib counts in 32-bit units.
const qint64 MaxPass = 1 << 30;
} // namespace

ZipEntryDevice::ZipEntryDevice(QIODevice *archive, qint64 dataOffset, const ZipEntryInfo &info, QObject *parent)
    : QIODevice(parent)
    , m_archive(archive)
    , m_dataOffset(dataOffset)
    , m_size(qint64(qMin<quint64>(info.uncompressedSize, quint64(std::numeric_limits<qint64>::max()))))
    , m_compressedSize(info.compressedSize)
    , m_crc(info.crc)
    , m_deflated(info.compressionMethod == Z_DEFLATED)
    , m_name(info.name)
{
}

ZipEntryDevice::~ZipEntryDevice()
{
    close();
}

bool ZipEntryDevice::canRead(const ZipEntryInfo &info)
{
    return !(info.flags & 1) && (info.compressionMethod == 0 || info.compressionMethod == Z_DEFLATED);
}

bool ZipEntryDevice::open(OpenMode mode)
{
    if ((mode & WriteOnly) || !m_archive || !m_archive->isOpen() || isOpen())
        return false;
    if (!m_deflated && m_compressedSize != quint64(m_size)) {
        setErrorString(QStringLiteral("a stored entry whose two sizes differ"));
        return false;
    }
    if (!m_archive->seek(m_dataOffset)) {
        setErrorString(QStringLiteral("the archive ends before the entry's data"));
        return false;
    }
    m_compressedLeft = m_compressedSize;
    m_produced = 0;
    m_runningCrc = crc32(0, Z_NULL, 0);
    m_checkCrc = true;
    m_streamEnded = false;
    m_failed = false;
    if (m_deflated) {
        m_stream.reset(new z_stream_s());
        if (inflateInit2(m_stream.get(), -MAX_WBITS) != Z_OK) {
            m_stream.reset();
            return false;
        }
        // No larger than the entry claims to need: most entries are small.
        m_in.resize(int(qBound<quint64>(1, m_compressedSize, InputChunk)));
    }
    if (!QIODevice::open(mode | Unbuffered)) {
        close();
        return false;
    }
    // An empty entry is complete at once, and must prove it.
    if (m_size == 0 && !finishedWell()) {
        close();
        return false;
    }
    return true;
}

void ZipEntryDevice::close()
{
    if (m_stream) {
        inflateEnd(m_stream.get());
        m_stream.reset();
    }
    m_in.clear();
    QIODevice::close();
}

bool ZipEntryDevice::seek(qint64 pos)
{
    if (m_deflated || !isOpen() || pos < 0 || pos > m_size || !m_archive->seek(m_dataOffset + pos))
        return false;
    // Bytes skipped are bytes the CRC never sees.
    if (pos != m_produced)
        m_checkCrc = false;
    m_produced = pos;
    return QIODevice::seek(pos);
}

qint64 ZipEntryDevice::readData(char *data, qint64 maxSize)
{
    if (m_failed)
        return -1;
    if (m_produced >= m_size || maxSize <= 0)
        return 0;
    const qint64 count = m_deflated ? readDeflated(data, maxSize) : readStored(data, maxSize);
    if (count <= 0)
        return count;
    if (m_checkCrc)
        m_runningCrc = crc32(m_runningCrc, reinterpret_cast<const Bytef *>(data), uInt(count));
    m_produced += count;
    // The last bytes go out only with the proof that the entry is whole.
    if (m_produced == m_size && !finishedWell())
        return -1;
    return count;
}

qint64 ZipEntryDevice::readStored(char *data, qint64 maxSize)
{
    const qint64 count = m_archive->read(data, qMin(maxSize, m_size - m_produced));
    if (count <= 0)
        return fail(QStringLiteral("the archive ends inside the entry"));
    return count;
}

qint64 ZipEntryDevice::readDeflated(char *data, qint64 maxSize)
{
    const uInt room = uInt(qMin(qMin(maxSize, m_size - m_produced), MaxPass));
    m_stream->next_out = reinterpret_cast<Bytef *>(data);
    m_stream->avail_out = room;
    while (m_stream->avail_out == room) {
        if (m_streamEnded)
            return fail(QStringLiteral("the entry's data is shorter than its record says"));
        if (!inflateStep())
            return -1;
    }
    return qint64(room - m_stream->avail_out);
}

bool ZipEntryDevice::fillInput()
{
    if (m_compressedLeft == 0)
        return false;
    const qint64 count = m_archive->read(m_in.data(), qint64(qMin<quint64>(m_compressedLeft, quint64(m_in.size()))));
    if (count <= 0)
        return false;
    m_compressedLeft -= quint64(count);
    m_stream->next_in = reinterpret_cast<Bytef *>(m_in.data());
    m_stream->avail_in = uInt(count);
    return true;
}

bool ZipEntryDevice::inflateStep()
{
    // zlib may hold output back for want of room after it has taken all the input, so an empty
    // input is no end by itself: only a step that cannot move says so.
    if (m_stream->avail_in == 0)
        fillInput();
    const int status = inflate(m_stream.get(), Z_NO_FLUSH);
    if (status == Z_STREAM_END)
        m_streamEnded = true;
    else if (status == Z_BUF_ERROR && m_stream->avail_in == 0)
        return refuse(QStringLiteral("the compressed data ends before its stream does"));
    else if (status != Z_OK)
        return refuse(QStringLiteral("the compressed data is damaged"));
    return true;
}

bool ZipEntryDevice::finishedWell()
{
    // All the bytes the record promises have come; the stream must end here, not go on.
    while (m_deflated && !m_streamEnded) {
        char extra;
        m_stream->next_out = reinterpret_cast<Bytef *>(&extra);
        m_stream->avail_out = 1;
        if (!inflateStep())
            return false;
        if (m_stream->avail_out == 0)
            return refuse(QStringLiteral("the entry's data is longer than its record says"));
    }
    if (m_checkCrc && quint32(m_runningCrc) != m_crc)
        return refuse(QStringLiteral("the entry's data does not match its CRC"));
    return true;
}

qint64 ZipEntryDevice::fail(const QString &why)
{
    qCDebug(lcZip) << "zip entry" << m_name << "cannot be read:" << why;
    setErrorString(why);
    m_failed = true;
    return -1;
}

bool ZipEntryDevice::refuse(const QString &why)
{
    fail(why);
    return false;
}

qint64 ZipEntryDevice::writeData(const char *, qint64)
{
    return -1;
}
