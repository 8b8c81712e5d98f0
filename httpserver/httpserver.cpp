#include "httpserver.h"

#include "core/debuglog.h"
#include "httpconnection.h"
#include "httprequest.h"
#include "httpresponse.h"
#include "staticfilehandler.h"

#include "core/fileutils.h"

#include <QDebug>
#include <QHostInfo>
#include <QTcpServer>
#include <QTcpSocket>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <utility>

namespace {
const int ConnectionLimit = 1024;
// Descriptors kept free for files read whole, packages and the rest of the program.
const rlim_t ReservedDescriptors = 128;
// A peer that has taken nothing for this long may lose its connection to a new one.
const qint64 StalledMs = 2000;
// Accepting paused for want of descriptors is tried again after this.
const int ResumeAcceptMs = 100;

// Whether two more descriptors may be opened now, tried by copying `fd`. The count of
// connections does not see every descriptor (files read whole, the rest of the program):
// taking them is the only test.
bool twoDescriptorsLeft(qintptr fd)
{
    const int first = ::fcntl(int(fd), F_DUPFD_CLOEXEC, 0);
    const int second = first < 0 ? -1 : ::fcntl(int(fd), F_DUPFD_CLOEXEC, 0);
    if (first >= 0)
        ::close(first);
    if (second >= 0)
        ::close(second);
    return second >= 0;
}

bool isWildcard(const QHostAddress &address)
{
    return address == QHostAddress(QHostAddress::AnyIPv4) || address == QHostAddress(QHostAddress::AnyIPv6)
        || address == QHostAddress(QHostAddress::Any);
}

bool coveredBy(const std::vector<QHostAddress> &held, const QHostAddress &address)
{
    for (const QHostAddress &one : held) {
        if (one == address || one == QHostAddress(QHostAddress::Any)
            || (one == QHostAddress(QHostAddress::AnyIPv4) && address.protocol() == QAbstractSocket::IPv4Protocol)
            || (one == QHostAddress(QHostAddress::AnyIPv6) && address.protocol() == QAbstractSocket::IPv6Protocol))
            return true;
    }
    return false;
}

// Where a client may connect for name. Browsers answer "localhost" themselves with both
// loopback addresses, whatever the hosts file says (QtWebEngine does, and tries IPv6 first).
QList<QHostAddress> addressesOf(QString name)
{
    if (name.startsWith(QLatin1Char('[')) && name.endsWith(QLatin1Char(']')))
        name = name.mid(1, name.size() - 2);
    QHostAddress literal;
    if (literal.setAddress(name))
        return {literal};
    QList<QHostAddress> found = QHostInfo::fromName(name).addresses();
    const QString lower = name.toLower();
    if (lower == QLatin1String("localhost") || lower.endsWith(QLatin1String(".localhost")))
        found << QHostAddress(QHostAddress::LocalHost) << QHostAddress(QHostAddress::LocalHostIPv6);
    QList<QHostAddress> unique;
    for (const QHostAddress &address : std::as_const(found)) {
        if (!unique.contains(address))
            unique.append(address);
    }
    return unique;
}

QString hostLiteral(const QHostAddress &address)
{
    return address.protocol() == QAbstractSocket::IPv6Protocol ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
                                                                : address.toString();
}
} // namespace

HttpServer::HttpServer(const QString &rootDir, QObject *parent)
    : QObject(parent)
    , m_handler(new StaticFileHandler(rootDir.isEmpty() ? applicationDir() : rootDir))
{
    m_resumeTimer.setSingleShot(true);
    m_resumeTimer.setInterval(ResumeAcceptMs);
    connect(&m_resumeTimer, &QTimer::timeout, this, &HttpServer::resumeAccepting);
}

HttpServer::~HttpServer()
{
    for (HttpConnection *connection : std::as_const(m_connections))
        disconnect(connection, nullptr, this, nullptr);
    closeAll();
}

void HttpServer::closeAll()
{
    for (QTcpServer *server : m_tcpServers)
        delete server;
    m_tcpServers.clear();
    m_heldOrigins.clear();
}

bool HttpServer::listen(const QHostAddress &address, quint16 port)
{
    return listen(address, port, QStringList());
}

bool HttpServer::listen(const QHostAddress &address, quint16 port, const QStringList &hostNames)
{
    closeAll();
    std::vector<QHostAddress> wanted{address};
    QList<QPair<QString, QList<QHostAddress>>> named;
    // Elsewhere than on loopback the configured address is all the server answers for.
    if (address.isLoopback() || isWildcard(address)) {
        for (const QString &name : hostNames) {
            const QList<QHostAddress> addresses = addressesOf(name);
            named.append(qMakePair(name, addresses));
            for (const QHostAddress &one : addresses) {
                if (one.isLoopback() && !coveredBy(wanted, one))
                    wanted.push_back(one);
            }
        }
    }
    std::vector<QHostAddress> held;
    QList<QHostAddress> absent;
    for (size_t i = 0; i < wanted.size(); ++i) {
        auto *server = new QTcpServer;
        if (server->listen(wanted[i], port)) {
            connect(server, &QTcpServer::newConnection, this, &HttpServer::newConnection);
            connect(server, &QTcpServer::acceptError, this, &HttpServer::onAcceptError);
            m_tcpServers.push_back(server);
            held.push_back(wanted[i]);
            port = server->serverPort();
            continue;
        }
        m_error = server->serverError();
        m_errorString = server->errorString();
        delete server;
        if (i > 0 && (m_error == QAbstractSocket::SocketAddressNotAvailableError
                      || m_error == QAbstractSocket::UnsupportedSocketOperationError)) {
            absent.append(wanted[i]);
            continue;
        }
        closeAll();
        return false;
    }
    auto addOrigin = [this, port](const QString &host) {
        const QString origin = QStringLiteral("http://%1:%2").arg(host).arg(port);
        if (!m_heldOrigins.contains(origin))
            m_heldOrigins.append(origin);
    };
    for (const QHostAddress &one : held) {
        if (!isWildcard(one))
            addOrigin(hostLiteral(one));
    }
    for (const auto &entry : std::as_const(named)) {
        bool all = !entry.second.isEmpty();
        for (const QHostAddress &one : entry.second) {
            if (absent.contains(one))
                continue;
            if (!coveredBy(held, one)) {
                all = false;
                continue;
            }
            if (one.isLoopback())
                addOrigin(hostLiteral(one));
        }
        if (all)
            addOrigin(entry.first.toLower());
    }
    return true;
}

QList<QHostAddress> HttpServer::heldAddresses() const
{
    QList<QHostAddress> addresses;
    for (const QTcpServer *server : m_tcpServers)
        addresses.append(server->serverAddress());
    return addresses;
}

QStringList HttpServer::heldOrigins() const
{
    return m_heldOrigins;
}

bool HttpServer::listen(quint16 port)
{
    return listen(QHostAddress::LocalHost, port);
}

QHostAddress HttpServer::serverAddress() const
{
    return m_tcpServers.empty() ? QHostAddress() : m_tcpServers.front()->serverAddress();
}

QAbstractSocket::SocketError HttpServer::serverError() const
{
    return m_error;
}

QString HttpServer::errorString() const
{
    return m_errorString;
}

int HttpServer::maxDescriptors()
{
    rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return ConnectionLimit;
    if (limit.rlim_cur <= ReservedDescriptors + 16)
        return 16;
    return int(qMin<rlim_t>(ConnectionLimit, limit.rlim_cur - ReservedDescriptors));
}

quint16 HttpServer::serverPort() const
{
    return m_tcpServers.empty() ? 0 : m_tcpServers.front()->serverPort();
}

QString HttpServer::rootDir() const
{
    return m_handler->rootDir();
}

void HttpServer::setTimeouts(int idleMs, int headMs)
{
    m_idleMs = idleMs;
    m_headMs = headMs;
}

int HttpServer::descriptorsInUse() const
{
    int count = 0;
    for (const HttpConnection *connection : m_connections)
        count += connection->descriptorCount();
    return count;
}

void HttpServer::newConnection()
{
    for (QTcpServer *server : m_tcpServers) {
        while (server->hasPendingConnections())
            takeConnection(server->nextPendingConnection());
    }
    // After the loop: taking a pending connection lets QTcpServer accept again.
    pauseWithoutDescriptors();
}

void HttpServer::takeConnection(QTcpSocket *socket)
{
    bool room = hasRoom();
    while (!room && makeRoom(nullptr, 0))
        room = hasRoom();
    if (!room) {
        qCDebug(lcHttpServer) << "connection limit reached with every peer active: refusing a new connection";
        socket->abort();
        delete socket;
        return;
    }
    auto *connection = new HttpConnection(socket, this);
    connection->setTimeouts(m_idleMs, m_headMs);
    connect(connection, &HttpConnection::newRequest, this, &HttpServer::onRequest);
    m_connections.append(connection);
    connect(connection, &QObject::destroyed, this, [this, connection] { m_connections.removeOne(connection); });
}

bool HttpServer::hasRoom() const
{
    // Beside the new socket: the file this connection may stream, and the next accept.
    return descriptorsInUse() < maxDescriptors() && twoDescriptorsLeft(m_tcpServers.front()->socketDescriptor());
}

void HttpServer::pauseWithoutDescriptors()
{
    // An accept without a descriptor to take fails, and QTcpServer's socket engine keeps the
    // first error it saw, an ordinary "no more connections": every later failure passes for
    // one of those, and QTcpServer tries again at once, for ever. So it does not try while
    // none is left; what arrives meanwhile waits in the kernel's queue.
    if (m_tcpServers.empty() || twoDescriptorsLeft(m_tcpServers.front()->socketDescriptor()))
        return;
    for (QTcpServer *server : m_tcpServers)
        server->pauseAccepting();
    if (!m_resumeTimer.isActive())
        m_resumeTimer.start();
}

void HttpServer::resumeAccepting()
{
    if (m_tcpServers.empty())
        return;
    // A peer silent for a while gives its descriptors back; descriptors taken elsewhere come
    // back by themselves.
    const qintptr descriptor = m_tcpServers.front()->socketDescriptor();
    bool left = twoDescriptorsLeft(descriptor);
    while (!left && makeRoom(nullptr, StalledMs))
        left = twoDescriptorsLeft(descriptor);
    if (left) {
        for (QTcpServer *server : m_tcpServers)
            server->resumeAccepting();
    }
    else
        m_resumeTimer.start();
}

bool HttpServer::makeRoom(const HttpConnection *keep, qint64 idleMs)
{
    // The oldest connection with nothing to send: a slow or idle peer, never a transfer.
    for (HttpConnection *connection : std::as_const(m_connections)) {
        if (connection != keep && connection->quietMs() >= idleMs && connection->isIdle()) {
            qCDebug(lcHttpServer) << "connection limit reached: closing the oldest idle connection";
            m_connections.removeOne(connection);
            connection->abort();
            return true;
        }
    }
    // Else the peer that has stopped reading the longest ago; a transfer under way goes on.
    HttpConnection *stalled = nullptr;
    for (HttpConnection *connection : std::as_const(m_connections)) {
        if (connection != keep && connection->quietMs() >= StalledMs
            && (!stalled || connection->quietMs() > stalled->quietMs()))
            stalled = connection;
    }
    if (!stalled)
        return false;
    qCDebug(lcHttpServer) << "connection limit reached: closing a connection whose peer has stalled";
    m_connections.removeOne(stalled);
    stalled->abort();
    return true;
}

void HttpServer::onAcceptError(QAbstractSocket::SocketError error)
{
    // QTcpServer has paused accepting and would never go on by itself.
    const auto *server = qobject_cast<QTcpServer *>(sender());
    qCDebug(lcHttpServer) << "accepting failed:" << error << (server ? server->errorString() : QString());
    if (!m_resumeTimer.isActive())
        m_resumeTimer.start();
}

void HttpServer::onRequest(HttpRequest *request, HttpResponse *response)
{
    m_handler->handle(request, response);
    // A streamed answer has opened its file: the count may now be one over.
    if (response->isStreaming()) {
        if (descriptorsInUse() > maxDescriptors())
            makeRoom(qobject_cast<HttpConnection *>(sender()), 0);
        pauseWithoutDescriptors();
    }
}
