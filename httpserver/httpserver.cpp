#include "httpserver.h"

#include "core/debuglog.h"
#include "httpconnection.h"
#include "httprequest.h"
#include "httpresponse.h"
#include "staticfilehandler.h"

#include "core/fileutils.h"

#include <QDebug>
#include <QTcpServer>
#include <QTcpSocket>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

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
    for (HttpConnection *connection : qAsConst(m_connections))
        disconnect(connection, nullptr, this, nullptr);
    delete m_tcpServer;
}

bool HttpServer::listen(const QHostAddress &address, quint16 port)
{
    delete m_tcpServer;
    m_tcpServer = new QTcpServer;
    connect(m_tcpServer, &QTcpServer::newConnection, this, &HttpServer::newConnection);
    connect(m_tcpServer, &QTcpServer::acceptError, this, &HttpServer::onAcceptError);
    return m_tcpServer->listen(address, port);
}

bool HttpServer::listen(quint16 port)
{
    return listen(QHostAddress::LocalHost, port);
}

QHostAddress HttpServer::serverAddress() const
{
    return m_tcpServer ? m_tcpServer->serverAddress() : QHostAddress();
}

QAbstractSocket::SocketError HttpServer::serverError() const
{
    return m_tcpServer ? m_tcpServer->serverError() : QAbstractSocket::UnknownSocketError;
}

QString HttpServer::errorString() const
{
    return m_tcpServer ? m_tcpServer->errorString() : QString();
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
    return m_tcpServer ? m_tcpServer->serverPort() : 0;
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
    while (m_tcpServer->hasPendingConnections()) {
        QTcpSocket *socket = m_tcpServer->nextPendingConnection();
        bool room = hasRoom();
        while (!room && makeRoom(nullptr, 0))
            room = hasRoom();
        if (!room) {
            qCDebug(lcHttpServer) << "connection limit reached with every peer active: refusing a new connection";
            socket->abort();
            delete socket;
            continue;
        }
        auto *connection = new HttpConnection(socket, this);
        connection->setTimeouts(m_idleMs, m_headMs);
        connect(connection, &HttpConnection::newRequest, this, &HttpServer::onRequest);
        m_connections.append(connection);
        connect(connection, &QObject::destroyed, this, [this, connection] { m_connections.removeOne(connection); });
    }
    // After the loop: taking a pending connection lets QTcpServer accept again.
    pauseWithoutDescriptors();
}

bool HttpServer::hasRoom() const
{
    // Beside the new socket: the file this connection may stream, and the next accept.
    return descriptorsInUse() < maxDescriptors() && twoDescriptorsLeft(m_tcpServer->socketDescriptor());
}

void HttpServer::pauseWithoutDescriptors()
{
    // An accept without a descriptor to take fails, and QTcpServer's socket engine keeps the
    // first error it saw, an ordinary "no more connections": every later failure passes for
    // one of those, and QTcpServer tries again at once, for ever. So it does not try while
    // none is left; what arrives meanwhile waits in the kernel's queue.
    if (!m_tcpServer || twoDescriptorsLeft(m_tcpServer->socketDescriptor()))
        return;
    m_tcpServer->pauseAccepting();
    if (!m_resumeTimer.isActive())
        m_resumeTimer.start();
}

void HttpServer::resumeAccepting()
{
    if (!m_tcpServer)
        return;
    // A peer silent for a while gives its descriptors back; descriptors taken elsewhere come
    // back by themselves.
    bool left = twoDescriptorsLeft(m_tcpServer->socketDescriptor());
    while (!left && makeRoom(nullptr, StalledMs))
        left = twoDescriptorsLeft(m_tcpServer->socketDescriptor());
    if (left)
        m_tcpServer->resumeAccepting();
    else
        m_resumeTimer.start();
}

bool HttpServer::makeRoom(const HttpConnection *keep, qint64 idleMs)
{
    // The oldest connection with nothing to send: a slow or idle peer, never a transfer.
    for (HttpConnection *connection : qAsConst(m_connections)) {
        if (connection != keep && connection->quietMs() >= idleMs && connection->isIdle()) {
            qCDebug(lcHttpServer) << "connection limit reached: closing the oldest idle connection";
            m_connections.removeOne(connection);
            connection->abort();
            return true;
        }
    }
    // Else the peer that has stopped reading the longest ago; a transfer under way goes on.
    HttpConnection *stalled = nullptr;
    for (HttpConnection *connection : qAsConst(m_connections)) {
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
    qCDebug(lcHttpServer) << "accepting failed:" << error << m_tcpServer->errorString();
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
