#pragma once

#include "zipdecompress.h"

#include <QByteArray>
#include <QIODevice>

#include <memory>

struct z_stream_s;

// The bytes of one stored or deflated zip entry, read from the archive as they are asked for,
// so an entry of any size costs a bounded amount of memory. The archive device is given open;
// the entry device moves it as it reads, so nothing else may read it meanwhile. The entry's
// length and CRC-32 from the directory are held to: a damaged or lying entry ends in a read
// error instead of its last bytes. Stored entries may be read from any position (without the
// CRC check); deflated ones only from the start.
class ZipEntryDevice : public QIODevice
{
    Q_OBJECT
    Q_DISABLE_COPY(ZipEntryDevice)
public:
    ZipEntryDevice(QIODevice *archive, qint64 dataOffset, const ZipEntryInfo &info, QObject *parent = nullptr);
    ~ZipEntryDevice() override;

    // False for encrypted entries and compression methods other than stored and deflated.
    static bool canRead(const ZipEntryInfo &info);

    bool open(OpenMode mode) override;
    void close() override;
    bool isSequential() const override { return m_deflated; }
    qint64 size() const override { return m_size; }
    bool seek(qint64 pos) override;
    // Every byte has been read and proved whole.
    bool atEnd() const override { return m_produced >= m_size && !m_failed; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    qint64 readStored(char *data, qint64 maxSize);
    qint64 readDeflated(char *data, qint64 maxSize);
    bool fillInput();
    bool inflateStep();
    bool finishedWell();
    qint64 fail(const QString &why);
    bool refuse(const QString &why);

    QIODevice *m_archive;
    const qint64 m_dataOffset;
    const qint64 m_size;
    const quint64 m_compressedSize;
    const quint32 m_crc;
    const bool m_deflated;
    const QString m_name;

    std::unique_ptr<z_stream_s> m_stream;
    QByteArray m_in;
    quint64 m_compressedLeft = 0;
    qint64 m_produced = 0;
    unsigned long m_runningCrc = 0;
    bool m_checkCrc = true;
    bool m_streamEnded = false;
    bool m_failed = false;
};
