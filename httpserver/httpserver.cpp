#include "httpserver.h"

#include "httpconnection.h"
#include "httprequest.h"
#include "httpresponse.h"
#include "staticfilehandler.h"

#include "core/fileutils.h"

#include <QTcpServer>
#include <QTcpSocket>

HttpServer::HttpServer(const QString &rootDir, QObject *parent)
    : QObject(parent)
    , m_handler(new StaticFileHandler(rootDir.isEmpty() ? applicationDir() : rootDir))
{
}

HttpServer::~HttpServer()
{
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
    return listen(QHostAddress::AnyIPv4, port);
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
        auto *connection = new HttpConnection(socket, this);
        connection->setTimeouts(m_idleMs, m_headMs);
        connect(connection, &HttpConnection::newRequest, this, &HttpServer::onRequest);
    }
}

void HttpServer::onRequest(HttpRequest *request, HttpResponse *response)
{
    m_handler->handle(request, response);
}
