#include "packagefile.h"

#include "core/fileutils.h"
#include "core/updatearea.h"

#include <QCryptographicHash>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const char RecordName[] = "package.sha256";
const int DigestSize = 32;
} // namespace

PackageFile::PackageFile(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return;
    }
    m_fd = fd;
}

PackageFile::~PackageFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

QString PackageFile::openPath() const
{
    return m_fd < 0 ? QString() : QStringLiteral("/proc/self/fd/%1").arg(m_fd);
}

QByteArray PackageFile::sha256() const
{
    if (m_fd < 0)
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray buffer(1 << 16, Qt::Uninitialized);
    off_t offset = 0;
    for (;;) {
        const ssize_t got = ::pread(m_fd, buffer.data(), size_t(buffer.size()), offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return QByteArray();
        if (got == 0)
            break;
        hash.addData(QByteArray::fromRawData(buffer.constData(), int(got)));
        offset += got;
    }
    return hash.result();
}

namespace PackageRecord {

QString path(const QString &downloadDir)
{
    return downloadDir + QLatin1Char('/') + QLatin1String(RecordName);
}

bool write(const QString &downloadDir, const QString &packageName, const QByteArray &sha256)
{
    if (sha256.size() != DigestSize || !UpdateArea::isSafeName(packageName))
        return false;
    const QByteArray text = sha256.toHex() + "  " + packageName.toUtf8() + '\n';
    return replaceDurably(path(downloadDir), text);
}

QByteArray read(const QString &downloadDir, const QString &packageName)
{
    QFile file(path(downloadDir));
    QByteArray text;
    if (!file.open(QIODevice::ReadOnly) || !readAtMost(file, 4096, &text))
        return QByteArray();
    const QByteArray expected = "  " + packageName.toUtf8() + '\n';
    if (!text.endsWith(expected) || text.size() != DigestSize * 2 + expected.size())
        return QByteArray();
    const QByteArray hex = text.left(DigestSize * 2);
    for (char c : hex) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return QByteArray();
    }
    return QByteArray::fromHex(hex);
}

bool matches(const QString &downloadDir, const QString &packageName)
{
    const QByteArray recorded = read(downloadDir, packageName);
    if (recorded.isEmpty())
        return false;
    const PackageFile package(downloadDir + QLatin1Char('/') + packageName);
    return package.sha256() == recorded;
}

} // namespace PackageRecord
