#include "httpresponse.h"

#include "core/debuglog.h"
#include "httpconnection.h"

#include <QDateTime>
#include <QDebug>
#include <QIODevice>
#include <QLocale>

namespace {

const QHash<int, QString> &statusTexts()
{
    static const QHash<int, QString> texts = {
        {100, QStringLiteral("Continue")},
        {101, QStringLiteral("Switching Protocols")},
        {102, QStringLiteral("Processing")},
        {200, QStringLiteral("OK")},
        {201, QStringLiteral("Created")},
        {202, QStringLiteral("Accepted")},
        {203, QStringLiteral("Non-Authoritative Information")},
        {204, QStringLiteral("No Content")},
        {205, QStringLiteral("Reset Content")},
        {206, QStringLiteral("Partial Content")},
        {207, QStringLiteral("Multi-Status")},
        {300, QStringLiteral("Multiple Choices")},
        {301, QStringLiteral("Moved Permanently")},
        {302, QStringLiteral("Moved Temporarily")},
        {303, QStringLiteral("See Other")},
        {304, QStringLiteral("Not Modified")},
        {305, QStringLiteral("Use Proxy")},
        {307, QStringLiteral("Temporary Redirect")},
        {400, QStringLiteral("Bad Request")},
        {401, QStringLiteral("Unauthorized")},
        {402, QStringLiteral("Payment Required")},
        {403, QStringLiteral("Forbidden")},
        {404, QStringLiteral("Not Found")},
        {405, QStringLiteral("Method Not Allowed")},
        {406, QStringLiteral("Not Acceptable")},
        {407, QStringLiteral("Proxy Authentication Required")},
        {408, QStringLiteral("Request Time-out")},
        {409, QStringLiteral("Conflict")},
        {410, QStringLiteral("Gone")},
        {411, QStringLiteral("Length Required")},
        {412, QStringLiteral("Precondition Failed")},
        {413, QStringLiteral("Request Entity Too Large")},
        {414, QStringLiteral("Request-URI Too Large")},
        {415, QStringLiteral("Unsupported Media Type")},
        {416, QStringLiteral("Requested Range Not Satisfiable")},
        {417, QStringLiteral("Expectation Failed")},
        {418, QStringLiteral("I\"m a teapot")},
        {422, QStringLiteral("Unprocessable Entity")},
        {423, QStringLiteral("Locked")},
        {424, QStringLiteral("Failed Dependency")},
        {425, QStringLiteral("Unordered Collection")},
        {426, QStringLiteral("Upgrade Required")},
        {500, QStringLiteral("Internal Server Error")},
        {501, QStringLiteral("Not Implemented")},
        {502, QStringLiteral("Bad Gateway")},
        {503, QStringLiteral("Service Unavailable")},
        {504, QStringLiteral("Gateway Time-out")},
        {505, QStringLiteral("HTTP Version not supported")},
        {506, QStringLiteral("Variant Also Negotiates")},
        {507, QStringLiteral("Insufficient Storage")},
        {509, QStringLiteral("Bandwidth Limit Exceeded")},
        {510, QStringLiteral("Not Extended")},
    };
    return texts;
}

const QHash<QString, QString> &contentTypes()
{
    static const QHash<QString, QString> types = {
        {QStringLiteral("."), QStringLiteral("text/plain")},
        {QStringLiteral(".txt"), QStringLiteral("text/plain")},
        {QStringLiteral(".html"), QStringLiteral("text/html; charset=utf-8")},
        {QStringLiteral(".htm"), QStringLiteral("text/html; charset=utf-8")},
        {QStringLiteral(".css"), QStringLiteral("text/css; charset=utf-8")},
        {QStringLiteral(".js"), QStringLiteral("application/x-javascript; charset=utf-8")},
        // Chromium runs a module script only when it is served with a JavaScript type, and
        // compiles WebAssembly while it streams only when it is typed exactly so.
        {QStringLiteral(".mjs"), QStringLiteral("text/javascript; charset=utf-8")},
        {QStringLiteral(".wasm"), QStringLiteral("application/wasm")},
        {QStringLiteral(".json"), QStringLiteral("application/json; charset=utf-8")},
        {QStringLiteral(".xml"), QStringLiteral("text/xml")},
        {QStringLiteral(".xsl"), QStringLiteral("text/xml")},
        {QStringLiteral(".jpg"), QStringLiteral("image/jpeg")},
        {QStringLiteral(".png"), QStringLiteral("image/png")},
        {QStringLiteral(".jpeg"), QStringLiteral("image/jpeg")},
        {QStringLiteral(".bmp"), QStringLiteral("image/bmp")},
        {QStringLiteral(".gif"), QStringLiteral("image/gif")},
        {QStringLiteral(".tiff"), QStringLiteral("image/tiff")},
        {QStringLiteral(".zip"), QStringLiteral("application/zip")},
        {QStringLiteral(".pdf"), QStringLiteral("application/pdf")},
        {QStringLiteral(".doc"), QStringLiteral("application/msword")},
        {QStringLiteral(".xls"), QStringLiteral("application/vnd.ms-excel")},
        {QStringLiteral(".ppt"), QStringLiteral("application/vnd.ms-powerpoint")},
        {QStringLiteral(".swf"), QStringLiteral("application/x-shockwave-flash")},
        {QStringLiteral(".wav"), QStringLiteral("audio/x-wav")},
        {QStringLiteral(".avi"), QStringLiteral("video/x-msvideo")},
        // An SVG without its type is not drawn as an image; fonts and media of today's pages.
        {QStringLiteral(".svg"), QStringLiteral("image/svg+xml")},
        {QStringLiteral(".ico"), QStringLiteral("image/x-icon")},
        {QStringLiteral(".webp"), QStringLiteral("image/webp")},
        {QStringLiteral(".woff"), QStringLiteral("font/woff")},
        {QStringLiteral(".woff2"), QStringLiteral("font/woff2")},
        {QStringLiteral(".ttf"), QStringLiteral("font/ttf")},
        {QStringLiteral(".otf"), QStringLiteral("font/otf")},
        {QStringLiteral(".mp3"), QStringLiteral("audio/mpeg")},
        {QStringLiteral(".mp4"), QStringLiteral("video/mp4")},
        {QStringLiteral(".webm"), QStringLiteral("video/webm")},
    };
    return types;
}

// Streamed bodies are read in pieces of this size and topped up while the socket holds
// less than the high-water mark.
const qint64 StreamChunk = 256 * 1024;
const qint64 StreamHighWater = 1024 * 1024;

} // namespace

HttpResponse::HttpResponse(HttpConnection *connection, QObject *parent)
    : QObject(parent)
    , m_connection(connection)
{
}

HttpResponse::~HttpResponse() = default;

QString HttpResponse::statusText(int status)
{
    return statusTexts().value(status);
}

QString HttpResponse::contentTypeForSuffix(const QString &suffix)
{
    return contentTypes().value(suffix);
}

QString HttpResponse::httpDate(int addYears)
{
    // Formatting through QLocale is costly; the text only changes once a second.
    static qint64 cachedSecond = -1;
    static QString cachedText;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    static const QLocale english(QLocale::English, QLocale::UnitedStates);
    static const QString format = QStringLiteral("ddd, dd MMM yyyy hh:mm:ss G'M'T");
    if (addYears != 0)
        return english.toString(now.addYears(addYears), format);
    const qint64 second = now.toSecsSinceEpoch();
    if (second != cachedSecond) {
        cachedSecond = second;
        cachedText = english.toString(now, format);
    }
    return cachedText;
}

void HttpResponse::setStatus(int status)
{
    m_status = status;
}

void HttpResponse::setHeader(const QString &field, const QString &value)
{
    m_headers.insert(field, value);
}

bool HttpResponse::setHeaderContentType(const QString &fileSuffix)
{
    const QString type = contentTypes().value(fileSuffix);
    if (type.isEmpty())
        return false;
    setHeader(QStringLiteral("Content-Type"), type);
    return true;
}

void HttpResponse::writeHeaders(QByteArray &out)
{
    for (auto it = m_headers.constBegin(); it != m_headers.constEnd(); ++it) {
        const QString &name = it.key();
        const QString &value = it.value();
        if (name.compare(QLatin1String("connection"), Qt::CaseInsensitive) == 0) {
            m_sentConnectionHeader = true;
            if (value == QLatin1String("close"))
                m_last = true;
            else
                m_keepAlive = true;
        } else if (name.compare(QLatin1String("transfer-encoding"), Qt::CaseInsensitive) == 0) {
            m_sentTransferEncodingHeader = true;
            if (value == QLatin1String("chunked"))
                m_chunked = true;
        } else if (name.compare(QLatin1String("content-length"), Qt::CaseInsensitive) == 0) {
            m_sentContentLengthHeader = true;
        } else if (name.compare(QLatin1String("date"), Qt::CaseInsensitive) == 0) {
            m_sentDateHeader = true;
        }
        out += name.toUtf8();
        out += ": ";
        out += value.toUtf8();
        out += "\r\n";
    }

    // 1xx, 204 and 304 answers end with their head, so they need no length to keep the connection.
    const bool bodiless = (m_status >= 100 && m_status < 200) || m_status == 204 || m_status == 304;
    if (!m_sentConnectionHeader) {
        if (m_keepAlive && (m_sentContentLengthHeader || m_chunked || bodiless)) {
            out += "Connection: keep-alive\r\n";
        } else {
            m_last = true;
            out += "Connection: close\r\n";
        }
    }
    if (!m_sentContentLengthHeader && !m_sentTransferEncodingHeader) {
        if (m_chunked)
            out += "Transfer-Encoding: chunked\r\n";
        else if (!bodiless)
            m_last = true;
    }
    if (!m_sentDateHeader) {
        out += "Date: ";
        out += httpDate().toLatin1();
        out += "\r\n";
    }
}

void HttpResponse::writeHead()
{
    if (m_headerWritten)
        return;
    const QByteArray head = headBytes();
    if (m_connection)
        m_connection->writeBytes(head);
}

QByteArray HttpResponse::headBytes()
{
    QByteArray out;
    out.reserve(256);
    out += "HTTP/1.1 ";
    out += QByteArray::number(m_status);
    out += ' ';
    out += statusText(m_status).toUtf8();
    out += "\r\n";
    writeHeaders(out);
    out += "\r\n";
    m_headerWritten = true;
    return out;
}

void HttpResponse::write(const QByteArray &data)
{
    if (!m_headerWritten) {
        qCDebug(lcHttpServer) << QStringLiteral("在写正文的之前，你必须先调用writeHead() ");
        return;
    }
    if (m_headOnly || !m_connection)
        return;
    m_connection->writeBytes(data);
}

void HttpResponse::write(const QString &data)
{
    write(data.toUtf8());
}

void HttpResponse::end(const QString &data)
{
    end(data.toUtf8());
}

void HttpResponse::end()
{
    end(QByteArray());
}

void HttpResponse::end(const QByteArray &data)
{
    if (m_done)
        return;
    if (!data.isEmpty())
        setHeader(QStringLiteral("Content-Length"), QString::number(data.size()));
    if (!m_headerWritten) {
        // Head and body leave together.
        const QByteArray head = headBytes();
        if (m_connection)
            m_connection->writeBytes(head, m_headOnly ? QByteArray() : data);
    } else if (!data.isEmpty()) {
        write(data);
    }
    finish();
}

void HttpResponse::finish()
{
    m_done = true;
    emit done();
    if (!m_connection)
        deleteLater();
}

void HttpResponse::endWithDevice(QIODevice *device, qint64 length)
{
    if (m_done) {
        delete device;
        return;
    }
    m_device.reset(device);
    m_remaining = length;
    setHeader(QStringLiteral("Content-Length"), QString::number(length));
    writeHead();
    if (m_headOnly || !m_connection || length <= 0) {
        m_device.reset();
        finish();
        return;
    }
    m_drainConnection = connect(m_connection.data(), &HttpConnection::bytesWritten, this, &HttpResponse::pump);
    pump();
}

void HttpResponse::releaseDevice()
{
    disconnect(m_drainConnection);
    m_device.reset();
}

void HttpResponse::pump()
{
    if (!m_device || !m_connection)
        return;
    while (m_remaining > 0 && m_connection->bytesToWrite() < StreamHighWater) {
        const QByteArray chunk = m_device->read(qMin(StreamChunk, m_remaining));
        if (chunk.isEmpty()) {
            // The file shrank or failed under us: the promised length cannot be kept, so
            // the only honest end is to close the connection.
            qCDebug(lcHttpServer) << "streamed body ended early:" << m_device->errorString();
            m_last = true;
            m_remaining = 0;
            break;
        }
        m_connection->writeBytes(chunk);
        m_remaining -= chunk.size();
    }
    if (m_remaining > 0)
        return;
    disconnect(m_drainConnection);
    m_device.reset();
    finish();
}
