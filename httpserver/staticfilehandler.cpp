#include "staticfilehandler.h"

#include "core/debuglog.h"
#include "httprequest.h"
#include "httpresponse.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QHostInfo>
#include <QRegularExpression>
#include <QUrlQuery>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const char *const ForbiddenText = "Forbidden，您没有权限查看!";
const char *const NotFoundText = "NOT Found!";

void answerNotFound(HttpResponse *response)
{
    response->setHeader(QStringLiteral("Content-Type"), QStringLiteral("text/html"));
    response->setStatus(404);
    response->end(QString::fromUtf8(NotFoundText));
}

bool isDocumentPath(const QString &path)
{
    return path.endsWith(QLatin1String(".html"), Qt::CaseInsensitive)
        || path.endsWith(QLatin1String(".htm"), Qt::CaseInsensitive);
}

void answerForbidden(HttpResponse *response)
{
    response->setStatus(403);
    response->end(QString::fromUtf8(ForbiddenText));
}

enum class Range { Whole, Part, Unsatisfiable };

// One byte range of "bytes=FROM-TO", "bytes=FROM-" or "bytes=-SUFFIX" against a resource of
// size bytes. Anything else (several ranges, other units, nonsense) is answered whole.
Range parseRange(const QString &header, qint64 size, qint64 *from, qint64 *length)
{
    static const QRegularExpression form(QStringLiteral("^\\s*bytes\\s*=\\s*(\\d*)\\s*-\\s*(\\d*)\\s*$"));
    const QRegularExpressionMatch m = form.match(header);
    if (header.isEmpty() || !m.hasMatch() || (m.captured(1).isEmpty() && m.captured(2).isEmpty()))
        return Range::Whole;
    bool ok = true;
    qint64 first = 0;
    qint64 last = size - 1;
    if (m.captured(1).isEmpty()) {
        const qint64 suffix = m.captured(2).toLongLong(&ok);
        if (!ok)
            return Range::Whole;
        if (suffix == 0)
            return Range::Unsatisfiable;
        first = qMax<qint64>(0, size - suffix);
    } else {
        first = m.captured(1).toLongLong(&ok);
        if (ok && !m.captured(2).isEmpty())
            last = qMin(last, m.captured(2).toLongLong(&ok));
        if (!ok || (!m.captured(2).isEmpty() && m.captured(2).toLongLong() < first))
            return Range::Whole;
    }
    if (first >= size)
        return Range::Unsatisfiable;
    *from = first;
    *length = last - first + 1;
    return Range::Part;
}

// Marks a ranged answer; false when the range cannot be served (the answer is then complete).
bool answerRange(HttpResponse *response, Range range, qint64 from, qint64 length, qint64 size)
{
    if (range == Range::Unsatisfiable) {
        response->setStatus(416);
        response->setHeader(QStringLiteral("Content-Range"), QStringLiteral("bytes */%1").arg(size));
        response->end(QByteArray());
        return false;
    }
    response->setStatus(206);
    response->setHeader(QStringLiteral("Content-Range"),
                        QStringLiteral("bytes %1-%2/%3").arg(from).arg(from + length - 1).arg(size));
    return true;
}

// Versioned resources may be kept for a year; only successful answers say so.
void markCacheable(HttpResponse *response, bool versioned)
{
    if (!versioned)
        return;
    response->setHeader(QStringLiteral("Last-Modified"), HttpResponse::httpDate());
    response->setHeader(QStringLiteral("Cache-Control"), QStringLiteral("public"));
    response->setHeader(QStringLiteral("Expires"), HttpResponse::httpDate(1));
}

// A large package entry, read from its archive as the socket drains. A compressed one cannot
// jump to a range's start without inflating all before it, so it is answered whole.
void answerStream(HttpResponse *response, std::unique_ptr<QIODevice> stream, qint64 size,
                  const QString &rangeHeader, bool versioned, const QString &suffix)
{
    response->setHeaderContentType(suffix);
    qint64 from = 0;
    qint64 length = size;
    const Range range = stream->isSequential() ? Range::Whole : parseRange(rangeHeader, size, &from, &length);
    if (range != Range::Whole) {
        if (!answerRange(response, range, from, length, size))
            return;
        if (!stream->seek(from)) {
            response->end(QByteArray());
            return;
        }
    } else {
        response->setStatus(200);
    }
    markCacheable(response, versioned);
    response->endWithDevice(stream.release(), length);
}

const char SqliteHeader[] = "SQLite format 3"; // with its NUL, the first 16 bytes of a database

QString suffixOf(const QString &path)
{
    const QString name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QStringLiteral(".") : name.mid(dot);
}
} // namespace

StaticFileHandler::StaticFileHandler(const QString &rootDir)
    : m_root(rootDir)
    , m_packages(rootDir)
{
    m_packages.setFileFilter([this](const QString &realPath) { return isServable(realPath); });
}

bool StaticFileHandler::isServable(const QString &realPath)
{
    if (m_realRoot.isEmpty())
        m_realRoot = QFileInfo(m_root).canonicalFilePath();
    if (m_realRoot.isEmpty())
        return false;
    const QString prefix = m_realRoot.endsWith(QLatin1Char('/')) ? m_realRoot : m_realRoot + QLatin1Char('/');
    return realPath.startsWith(prefix) && !isPrivatePath(realPath.mid(prefix.size()));
}

QString StaticFileHandler::realPathOf(int fd, const QByteArray &nativePath) const
{
    // The kernel's name of the open file: what was opened, whatever links led to it and
    // however they changed meanwhile.
    char target[PATH_MAX];
    const QByteArray link = "/proc/self/fd/" + QByteArray::number(fd);
    const ssize_t length = ::readlink(link.constData(), target, sizeof target);
    if (length > 0 && size_t(length) < sizeof target)
        return QFile::decodeName(QByteArray(target, int(length)));
    return QFileInfo(QFile::decodeName(nativePath)).canonicalFilePath();
}

bool StaticFileHandler::isAllowedHost(const QString &hostHeader)
{
    QString host = hostHeader.trimmed();
    if (host.startsWith(QLatin1Char('['))) {
        const int close = host.indexOf(QLatin1Char(']'));
        return close > 0 && !QHostAddress(host.mid(1, close - 1)).isNull();
    }
    const int colon = host.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0)
        host.truncate(colon);
    if (host.endsWith(QLatin1Char('.')))
        host.chop(1);
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    if (!QHostAddress(host).isNull())
        return true;
    static const QString machine = QHostInfo::localHostName();
    return !machine.isEmpty() && host.compare(machine, Qt::CaseInsensitive) == 0;
}

bool StaticFileHandler::isSafePath(const QString &path)
{
    if (path.startsWith(QLatin1Char('/')) || path.contains(QChar(0)))
        return false;
    const QStringList segments = path.split(QLatin1Char('/'));
    for (const QString &segment : segments) {
        if (segment == QLatin1String(".."))
            return false;
    }
    return true;
}

bool StaticFileHandler::isPrivatePath(const QString &path)
{
    // SQLite's companions of a database hold its pages while it is being written.
    for (const char *companion : {"-journal", "-wal", "-shm"}) {
        if (path.endsWith(QLatin1String(companion), Qt::CaseInsensitive))
            return true;
    }
    // Every private path names one of these, however it is spelled; most requests stop here.
    if (!path.contains(QLatin1String("conf"), Qt::CaseInsensitive) && !path.contains(QLatin1String("update"), Qt::CaseInsensitive)
        && !path.contains(QLatin1String(".elf"), Qt::CaseInsensitive))
        return false;
    const QString clean = QDir::cleanPath(path);
    const auto is = [&clean](const char *name) { return clean.compare(QLatin1String(name), Qt::CaseInsensitive) == 0; };
    return is("qt.conf") || is("data/user.conf") || is("data/update")
        || clean.startsWith(QLatin1String("data/update/"), Qt::CaseInsensitive)
        || clean.endsWith(QLatin1String(".elf"), Qt::CaseInsensitive);
}

bool StaticFileHandler::isDatabase(const char *head, qint64 size)
{
    return size >= qint64(sizeof SqliteHeader) && memcmp(head, SqliteHeader, sizeof SqliteHeader) == 0;
}

void StaticFileHandler::handle(HttpRequest *request, HttpResponse *response)
{
    const auto &headers = request->headers();
    const auto host = headers.constFind(QStringLiteral("host"));
    if (host != headers.constEnd() && !isAllowedHost(host.value())) {
        qCDebug(lcHttpServer) << "refused foreign host" << host.value();
        answerForbidden(response);
        return;
    }

    QString path = request->path();
    if (path.startsWith(QLatin1Char('/')))
        path.remove(0, 1);
    // The file is named by what comes before an (encoded) question mark; every check below is of
    // that name, so "qt.conf%3F" is the private file it names.
    const int question = path.indexOf(QLatin1Char('?'));
    if (question >= 0)
        path.truncate(question);
    if (path.isEmpty()) {
        answerForbidden(response);
        return;
    }
    if (!isSafePath(path)) {
        qCDebug(lcHttpServer) << "refused path outside the root" << path;
        answerNotFound(response);
        return;
    }

    if (isPrivatePath(path)) {
        qCDebug(lcHttpServer) << "refused a private path" << path;
        answerNotFound(response);
        return;
    }

    const QUrl url = request->url();
    const bool versioned = url.hasQuery() && QUrlQuery(url).hasQueryItem(QStringLiteral("v"));
    if (versioned && !request->header(QStringLiteral("if-modified-since")).isEmpty()) {
        response->setStatus(304);
        response->end();
        return;
    }

    // Byte ranges let the updater fetch a package from this server over several connections.
    const QString rangeHeader = request->header(QStringLiteral("range"));
    qint64 from = 0;
    qint64 length = 0;

    PackageResources::Entry packaged = m_packages.entry(path);
    if (packaged.stream) {
        answerStream(response, std::move(packaged.stream), packaged.size, rangeHeader, versioned, suffixOf(path));
        return;
    }
    if (const QByteArray *bytes = packaged.bytes) {
        response->setHeaderContentType(suffixOf(path));
        const Range range = parseRange(rangeHeader, bytes->size(), &from, &length);
        if (range != Range::Whole) {
            if (answerRange(response, range, from, length, bytes->size())) {
                markCacheable(response, versioned);
                response->setHeader(QStringLiteral("Content-Length"), QString::number(length));
                response->end(bytes->mid(int(from), int(length)));
            }
            return;
        }
        response->setStatus(200);
        markCacheable(response, versioned);
        response->setHeader(QStringLiteral("Content-Length"), QString::number(bytes->size()));
        response->end(*bytes);
        return;
    }

    const QString filePath = m_root + QLatin1Char('/') + path;
    const QByteArray nativePath = QFile::encodeName(filePath);
    response->setHeaderContentType(suffixOf(path));

    // A small file served recently costs one stat: its size, times and inode prove it unchanged.
    struct stat st;
    if (rangeHeader.isEmpty() && ::stat(nativePath.constData(), &st) == 0 && S_ISREG(st.st_mode)) {
        const auto cached = m_cache.constFind(nativePath);
        if (cached != m_cache.constEnd() && cached->matches(st)) {
            response->setStatus(200);
            markCacheable(response, versioned);
            response->setHeader(QStringLiteral("Content-Length"), QString::number(cached->bytes.size()));
            response->end(cached->bytes);
            return;
        }
    }

    // Plain system calls: one open and one fstat instead of Qt's several stats. Not blocking
    // and no controlling terminal, in case a link leads to a pipe or a device.
    const int fd = ::open(nativePath.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0 && (errno == EMFILE || errno == ENFILE)) {
        // Not missing, only not now; the answer closes the connection, which gives one back.
        qCDebug(lcHttpServer) << "no descriptor left to read" << filePath;
        response->setStatus(503);
        response->end();
        return;
    }
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0 || errno != ENOENT)
            qCDebug(lcHttpServer) << "cannot read" << filePath;
        else if (isDocumentPath(path))
            // A missing page (the start page, a link) answers with the bare text; the log says
            // what was asked and where it was looked for. Pictures and the like stay quiet: a
            // browser asks for a favicon on every page.
            qWarning("NOT Found: /%s: no file %s, nor an entry of a package", qUtf8Printable(path),
                     qUtf8Printable(filePath));
        if (fd >= 0)
            ::close(fd);
        answerNotFound(response);
        return;
    }
    // Checked on the file opened, so a link cannot lead past the root or to a private file.
    if (st.st_nlink == 0 || !isServable(realPathOf(fd, nativePath))) {
        qCDebug(lcHttpServer) << "refused a file by its real location" << path;
        ::close(fd);
        answerNotFound(response);
        return;
    }
    const qint64 size = st.st_size;
    char head[sizeof SqliteHeader];
    if (size >= qint64(sizeof head) && ::pread(fd, head, sizeof head, 0) == ssize_t(sizeof head)
        && isDatabase(head, sizeof head)) {
        qCDebug(lcHttpServer) << "refused a database file" << path;
        ::close(fd);
        answerNotFound(response);
        return;
    }
    const Range range = parseRange(rangeHeader, size, &from, &length);
    if (range != Range::Whole) {
        if (!answerRange(response, range, from, length, size)) {
            ::close(fd);
            return;
        }
        markCacheable(response, versioned);
        auto *file = new QFile;
        if (!file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle) || !file->seek(from)) {
            if (!file->isOpen())
                ::close(fd);
            delete file;
            response->end(QByteArray());
            return;
        }
        response->endWithDevice(file, length);
        return;
    }
    response->setStatus(200);
    markCacheable(response, versioned);
    if (size > WholeReadLimit) {
        auto *file = new QFile;
        if (!file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
            ::close(fd);
            delete file;
            response->end(QByteArray());
            return;
        }
        response->endWithDevice(file, size);
        return;
    }
    QByteArray bytes;
    if (!response->headOnly()) {
        bytes.resize(int(size));
        qint64 filled = 0;
        while (filled < size) {
            const ssize_t count = ::read(fd, bytes.data() + filled, size_t(size - filled));
            if (count <= 0)
                break;
            filled += count;
        }
        bytes.resize(int(filled));
        if (filled == size && size <= CacheableSize)
            remember(nativePath, st, bytes);
    }
    ::close(fd);
    // An empty file still gets its length, so the connection may stay open.
    response->setHeader(QStringLiteral("Content-Length"), QString::number(response->headOnly() ? size : bytes.size()));
    response->end(bytes);
}

bool StaticFileHandler::CachedFile::matches(const struct stat &st) const
{
    return device == st.st_dev && inode == st.st_ino && size == st.st_size
        && modified == st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec
        && changed == st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
}

void StaticFileHandler::remember(const QByteArray &nativePath, const struct stat &st, const QByteArray &bytes)
{
    // A file changed within the clock's granularity could change again with the same times and
    // size; only files left alone for a second are trusted by their times.
    const qint64 changed = st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
    if (changed > (QDateTime::currentMSecsSinceEpoch() - 1000) * 1000000LL)
        return;
    // Bounded: when full, start over rather than track ages.
    if (m_cacheBytes + bytes.size() > CacheBudget) {
        m_cache.clear();
        m_cacheBytes = 0;
    }
    CachedFile &entry = m_cache[nativePath];
    m_cacheBytes += bytes.size() - entry.bytes.size();
    entry.bytes = bytes;
    entry.device = st.st_dev;
    entry.inode = st.st_ino;
    entry.size = st.st_size;
    entry.modified = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
    entry.changed = changed;
}
