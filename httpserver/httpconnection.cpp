#include "httpconnection.h"

#include "core/debuglog.h"
#include "httpresponse.h"

#include <QDebug>
#include <QHostAddress>
#include <QTcpSocket>

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>

namespace {
const qint64 ReadChunk = 81920;
const int DefaultIdleMs = 120 * 1000;
const int DefaultHeadMs = 60 * 1000;

HttpConnection *self(http_parser *parser)
{
    return static_cast<HttpConnection *>(parser->data);
}
} // namespace

HttpConnection::HttpConnection(QTcpSocket *socket, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_parser(new http_parser)
{
    qCDebug(lcHttpServer).noquote() << QStringLiteral("新连接：") << socket->peerAddress().toString() << socket->peerPort();
    socket->setParent(nullptr);
    // Answers are written whole; holding back their last segment for an acknowledgement only delays them.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    http_parser_init(m_parser, HTTP_REQUEST);
    m_parser->data = this;

    http_parser_settings_init(&m_settings);
    m_settings.on_message_begin = &HttpConnection::onMessageBegin;
    m_settings.on_url = &HttpConnection::onUrl;
    m_settings.on_header_field = &HttpConnection::onHeaderField;
    m_settings.on_header_value = &HttpConnection::onHeaderValue;
    m_settings.on_headers_complete = &HttpConnection::onHeadersComplete;
    m_settings.on_body = &HttpConnection::onBody;
    m_settings.on_message_complete = &HttpConnection::onMessageComplete;

    m_idleTimer.setSingleShot(true);
    m_headTimer.setSingleShot(true);
    connect(&m_idleTimer, &QTimer::timeout, this, [this] {
        // Activity only stamps the time; the timer is re-armed here for what is left.
        const qint64 left = m_idleMs - m_activity.elapsed();
        if (left > 0) {
            m_idleTimer.start(int(left));
            return;
        }
        // A peer that reads slowly is still being answered; only the connection limit may end it.
        if (!isIdle()) {
            m_idleTimer.start(m_idleMs);
            return;
        }
        qCDebug(lcHttpServer) << "closing idle connection";
        m_closing = true;
        m_socket->abort();
        deleteLater();
    });
    connect(&m_headTimer, &QTimer::timeout, this, [this] { refuse(408); });
    setTimeouts(DefaultIdleMs, DefaultHeadMs);

    // Qt reads no further ahead than this; what the peer sends beyond it waits in TCP.
    socket->setReadBufferSize(MaxUnparsedBytes);
    connect(socket, &QTcpSocket::readyRead, this, &HttpConnection::parseRequest);
    connect(socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    connect(socket, &QTcpSocket::bytesWritten, this, [this] {
        m_activity.start();
        emit bytesWritten();
        // Requests held back while answers drained go on once the backlog is small again.
        if (!m_closing && !isBlocked() && (!m_unparsed.isEmpty() || m_socket->bytesAvailable() > 0))
            parseRequest();
    });
}

HttpConnection::~HttpConnection()
{
    // An answer still streaming when the peer went away dies with its connection.
    if (m_response && !m_response->isDone())
        delete m_response;
    delete m_endedResponse;
    delete m_request;
    delete m_socket;
    delete m_parser;
}

void HttpConnection::setTimeouts(int idleMs, int headMs)
{
    m_idleMs = idleMs;
    m_idleTimer.setInterval(idleMs);
    m_headTimer.setInterval(headMs);
    m_activity.start();
    m_idleTimer.start();
}

void HttpConnection::writeBytes(const QByteArray &bytes)
{
    writeBytes(bytes, QByteArray());
}

void HttpConnection::writeBytes(const QByteArray &head, const QByteArray &body)
{
    // Straight to the kernel while nothing waits in the socket's buffer: one system call for head
    // and body, no copy and no event-loop turn. What the kernel does not take is queued, in order.
    qint64 sent = 0;
    if (m_socket->bytesToWrite() == 0 && m_socket->state() == QAbstractSocket::ConnectedState) {
        iovec parts[2] = {{const_cast<char *>(head.constData()), size_t(head.size())},
                          {const_cast<char *>(body.constData()), size_t(body.size())}};
        msghdr message = {};
        message.msg_iov = parts;
        message.msg_iovlen = 2;
        const ssize_t count = ::sendmsg(int(m_socket->socketDescriptor()), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count > 0) {
            sent = count;
            m_activity.start();
        }
    }
    if (sent < head.size())
        m_socket->write(head.constData() + sent, head.size() - sent);
    const qint64 bodySent = qMax<qint64>(0, sent - head.size());
    if (bodySent < body.size())
        m_socket->write(body.constData() + bodySent, body.size() - bodySent);
}

qint64 HttpConnection::bytesToWrite() const
{
    return m_socket->bytesToWrite();
}

void HttpConnection::abort()
{
    m_closing = true;
    m_idleTimer.stop();
    m_headTimer.stop();
    // Both descriptors go now, not when the object does: the server drops connections to get
    // descriptors back, often several in one turn of the loop.
    if (m_response)
        m_response->releaseDevice();
    m_socket->abort();
    deleteLater();
}

bool HttpConnection::isIdle() const
{
    if (m_response || m_socket->bytesToWrite() > 0)
        return false;
    // Answers written straight to the kernel wait there while the peer does not read.
    int unsent = 0;
    const qintptr fd = m_socket->socketDescriptor();
    return fd < 0 || ::ioctl(int(fd), SIOCOUTQ, &unsent) != 0 || unsent == 0;
}

int HttpConnection::descriptorCount() const
{
    return m_response && m_response->isStreaming() ? 2 : 1;
}

bool HttpConnection::isBlocked() const
{
    return m_response || m_socket->bytesToWrite() > MaxPendingWrite;
}

void HttpConnection::parseRequest()
{
    char buffer[ReadChunk];
    while (!m_closing) {
        // What was held back goes first, once nothing blocks it.
        if (!m_unparsed.isEmpty() && !isBlocked()) {
            QByteArray pending;
            pending.swap(m_unparsed);
            feed(pending.constData(), size_t(pending.size()));
            continue;
        }
        if (m_socket->bytesAvailable() <= 0)
            return;
        const bool blocked = isBlocked() || !m_unparsed.isEmpty();
        // A peer that sends while its answers wait is held back by TCP, not by our memory.
        if (blocked && m_unparsed.size() >= MaxUnparsedBytes)
            return;
        const qint64 count = m_socket->read(buffer, blocked ? qMin<qint64>(sizeof buffer, MaxUnparsedBytes - m_unparsed.size())
                                                           : qint64(sizeof buffer));
        if (count <= 0)
            return;
        m_activity.start();
        if (blocked)
            m_unparsed.append(buffer, int(count));
        else
            feed(buffer, size_t(count));
    }
    // Closing: what still arrives is read and dropped, so the socket never stalls on it.
    while (m_socket->bytesAvailable() > 0 && m_socket->read(buffer, sizeof buffer) > 0) {
    }
}

void HttpConnection::feed(const char *data, size_t length)
{
    if (length == 0 || m_closing)
        return;
    // Only called when nothing blocks parsing: a pause taken for the previous answer ends here.
    if (HTTP_PARSER_ERRNO(m_parser) == HPE_PAUSED)
        http_parser_pause(m_parser, 0);
    const size_t used = http_parser_execute(m_parser, &m_settings, data, length);
    const http_errno error = HTTP_PARSER_ERRNO(m_parser);
    if (error == HPE_PAUSED) {
        m_unparsed = QByteArray(data + used, int(length - used));
        return;
    }
    if (error != HPE_OK) {
        qCDebug(lcHttpServer) << "bad request bytes:" << http_errno_name(error);
        refuse(400);
    }
}

void HttpConnection::refuse(int status)
{
    if (m_closing)
        return;
    m_closing = true;
    m_headTimer.stop();
    m_unparsed.clear();
    if (m_response) {
        // Let the answer in progress finish, then close.
        m_response->setKeepAlive(false);
        return;
    }
    const QByteArray text = HttpResponse::statusText(status).toUtf8();
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + text + "\r\n";
    out += "Content-Type: text/plain\r\nContent-Length: " + QByteArray::number(text.size())
        + "\r\nConnection: close\r\nDate: " + HttpResponse::httpDate().toLatin1() + "\r\n\r\n" + text;
    m_socket->write(out);
    m_socket->disconnectFromHost();
}

bool HttpConnection::headTooLarge(size_t more)
{
    m_headBytes += more;
    return m_headBytes > size_t(MaxHeadBytes);
}

int HttpConnection::onMessageBegin(http_parser *parser)
{
    HttpConnection *c = self(parser);
    c->m_currentHeaders.clear();
    c->m_currentHeaderField.clear();
    c->m_currentHeaderValue.clear();
    c->m_lastWasValue = false;
    c->m_url.clear();
    c->m_headBytes = 0;
    c->m_inHead = true;
    c->m_messageComplete = false;
    delete c->m_request;
    c->m_request = new HttpRequest(c);
    if (!c->m_headTimer.isActive())
        c->m_headTimer.start();
    return 0;
}

int HttpConnection::onUrl(http_parser *parser, const char *at, size_t length)
{
    HttpConnection *c = self(parser);
    if (c->headTooLarge(length + 16))
        return 1;
    c->m_url.append(at, int(length));
    return 0;
}

void HttpConnection::storePendingHeader()
{
    if (!m_currentHeaderField.isEmpty())
        m_currentHeaders.insert(QString::fromUtf8(m_currentHeaderField).toLower(),
                                QString::fromUtf8(m_currentHeaderValue));
    m_currentHeaderField.clear();
    m_currentHeaderValue.clear();
}

int HttpConnection::onHeaderField(http_parser *parser, const char *at, size_t length)
{
    HttpConnection *c = self(parser);
    if (c->headTooLarge(length + 4))
        return 1;
    // A field piece after a value piece starts the next header, even when that value was empty.
    if (c->m_lastWasValue)
        c->storePendingHeader();
    c->m_lastWasValue = false;
    c->m_currentHeaderField.append(at, int(length));
    return 0;
}

int HttpConnection::onHeaderValue(http_parser *parser, const char *at, size_t length)
{
    HttpConnection *c = self(parser);
    if (c->headTooLarge(length))
        return 1;
    c->m_lastWasValue = true;
    c->m_currentHeaderValue.append(at, int(length));
    return 0;
}

int HttpConnection::onHeadersComplete(http_parser *parser)
{
    HttpConnection *c = self(parser);
    HttpRequest *request = c->m_request;
    c->m_inHead = false;
    c->m_headTimer.stop();

    request->setMethod(QString::fromLatin1(http_method_str(http_method(parser->method))));
    request->setHttpVersion(QStringLiteral("%1.%2").arg(parser->http_major).arg(parser->http_minor));
    if (c->m_lastWasValue || !c->m_currentHeaderField.isEmpty())
        c->storePendingHeader();
    c->m_lastWasValue = false;

    // http-parser reports the whole target; its own splitter gives path and query.
    QUrl &url = request->urlRef();
    http_parser_url parts;
    http_parser_url_init(&parts);
    if (http_parser_parse_url(c->m_url.constData(), size_t(c->m_url.size()),
                              parser->method == HTTP_CONNECT, &parts) == 0) {
        if (parts.field_set & (1 << UF_PATH))
            url.setPath(QString::fromUtf8(c->m_url.constData() + parts.field_data[UF_PATH].off,
                                          parts.field_data[UF_PATH].len),
                        QUrl::TolerantMode);
        if (parts.field_set & (1 << UF_QUERY))
            url.setQuery(QString::fromUtf8(c->m_url.constData() + parts.field_data[UF_QUERY].off,
                                           parts.field_data[UF_QUERY].len),
                         QUrl::TolerantMode);
    }
    const auto host = c->m_currentHeaders.constFind(QStringLiteral("host"));
    if (host != c->m_currentHeaders.constEnd())
        url.setAuthority(host.value(), QUrl::TolerantMode);
    request->setHeaders(c->m_currentHeaders);
    // This server speaks nothing but HTTP/1.x: a tunnel or a protocol switch is answered and
    // the connection closed, instead of leaving the peer waiting on bytes nobody parses.
    if (parser->upgrade) {
        c->refuse(501);
        return -1;
    }
    if (host != c->m_currentHeaders.constEnd() && host.value().trimmed().isEmpty()) {
        c->refuse(400);
        return -1;
    }
    request->setRemoteAddress(c->m_socket->peerAddress().toString());
    request->setRemotePort(c->m_socket->peerPort());

    HttpResponse *response = new HttpResponse(c);
    if (parser->http_major == 0 || parser->http_minor == 0)
        response->setKeepAlive(false);
    if (c->m_currentHeaders.value(QStringLiteral("connection")).compare(QLatin1String("close"), Qt::CaseInsensitive) == 0)
        response->setKeepAlive(false);
    if (parser->method == HTTP_HEAD)
        response->setHeadOnly(true);
    c->m_response = response;
    connect(response, &HttpResponse::done, c, &HttpConnection::responseDone);
    emit c->newRequest(request, response);
    return 0;
}

int HttpConnection::onBody(http_parser *parser, const char *at, size_t length)
{
    HttpConnection *c = self(parser);
    if (c->m_request)
        emit c->m_request->data(QByteArray(at, int(length)));
    return 0;
}

int HttpConnection::onMessageComplete(http_parser *parser)
{
    HttpConnection *c = self(parser);
    c->m_messageComplete = true;
    if (c->m_request)
        emit c->m_request->end();
    if (!c->m_response && c->m_request) {
        // Answered already; nothing up the stack holds the request any more.
        delete c->m_request;
        c->m_request = nullptr;
    }
    // The next request waits for this answer, and for the answers before it to drain.
    if (c->isBlocked())
        http_parser_pause(parser, 1);
    return 0;
}

void HttpConnection::releaseRequestIfFinished()
{
    if (m_messageComplete && !m_response && m_request) {
        m_request->deleteLater();
        m_request = nullptr;
    }
}

void HttpConnection::responseDone()
{
    HttpResponse *response = qobject_cast<HttpResponse *>(sender());
    if (response != m_response) {
        response->deleteLater();
        return;
    }
    m_response = nullptr;
    // Still running its end(): deleted when the next one ends or the connection goes, which keeps
    // one object per connection without posting an event (and waking the loop) per request.
    delete m_endedResponse;
    m_endedResponse = response;
    releaseRequestIfFinished();
    if (response->isLastResponse() || m_closing) {
        m_closing = true;
        m_unparsed.clear();
        m_socket->disconnectFromHost();
        return;
    }
    // Go on with pipelined bytes after the current call stack has unwound.
    if (!m_unparsed.isEmpty() || m_socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &HttpConnection::parseRequest, Qt::QueuedConnection);
}
