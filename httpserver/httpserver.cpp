#include "httpserver.h"

#include "httpconnection.h"
#include "httprequest.h"
#include "httpresponse.h"
#include "staticfilehandler.h"

#include "core/fileutils.h"

#include <QDebug>
#include <QTcpServer>
#include <QTcpSocket>

#include <sys/resource.h>

namespace {
const int ConnectionLimit = 1024;
// Descriptors kept free for files, packages and the rest of the program.
const rlim_t ReservedDescriptors = 128;
} // namespace

HttpServer::HttpServer(const QString &rootDir, QObject *parent)
    : QObject(parent)
    , m_handler(new StaticFileHandler(rootDir.isEmpty() ? applicationDir() : rootDir))
{
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

int HttpServer::maxConnections()
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

void HttpServer::newConnection()
{
    while (m_tcpServer->hasPendingConnections()) {
        QTcpSocket *socket = m_tcpServer->nextPendingConnection();
        if (m_connections.size() >= maxConnections())
            makeRoom();
        auto *connection = new HttpConnection(socket, this);
        connection->setTimeouts(m_idleMs, m_headMs);
        connect(connection, &HttpConnection::newRequest, this, &HttpServer::onRequest);
        m_connections.append(connection);
        connect(connection, &QObject::destroyed, this, [this, connection] { m_connections.removeOne(connection); });
    }
}

void HttpServer::makeRoom()
{
    // The oldest connection that is not being answered: a slow or idle peer, never a transfer.
    for (HttpConnection *connection : qAsConst(m_connections)) {
        if (connection->isIdle()) {
            qDebug() << "connection limit reached: closing the oldest idle connection";
            m_connections.removeOne(connection);
            connection->abort();
            return;
        }
    }
    qDebug() << "connection limit reached with every connection busy";
}

void HttpServer::onRequest(HttpRequest *request, HttpResponse *response)
{
    m_handler->handle(request, response);
}
