#pragma once

#include <QAbstractSocket>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <vector>

class HttpConnection;
class HttpRequest;
class HttpResponse;
class QTcpServer;
class QTcpSocket;
class StaticFileHandler;

// The local HTTP server: accepts connections and answers every request with a file from
// the packages or the file system below its root directory (the program's directory by
// default). Never shows a dialog while answering. Its connections and the files they stream
// use at most maxDescriptors() descriptors: a new connection beyond that closes the oldest one
// that has nothing to send, else the one whose peer has stalled longest, else is itself
// closed at once. Accepting that fails for want of descriptors is taken up again shortly.
// On loopback it holds every address its host names lead a client to, so no other program
// can answer for one of them on the same port.
class HttpServer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpServer)
public:
    static const quint16 DefaultPort = 58899;

    explicit HttpServer(const QString &rootDir = QString(), QObject *parent = nullptr);
    ~HttpServer() override;

    bool listen(const QHostAddress &address, quint16 port);
    // Listens on address and, when address is loopback or a wildcard, on every loopback address
    // the host names resolve to besides ("localhost" and its subdomains: 127.0.0.1 and ::1 as
    // well, as browsers resolve them). Fails when any of them is taken; one that does not exist
    // on this machine (no ::1 without IPv6) is left out, for no client can reach it either.
    bool listen(const QHostAddress &address, quint16 port, const QStringList &hostNames);
    // This machine only (127.0.0.1).
    bool listen(quint16 port);
    quint16 serverPort() const;
    // The address of the first listen; heldAddresses() has them all.
    QHostAddress serverAddress() const;
    QList<QHostAddress> heldAddresses() const;
    // "http://host:port" of each address held but a wildcard, and of each host name given to
    // listen whose every loopback address it holds: the origins only this server can serve.
    QStringList heldOrigins() const;
    // Why the last listen failed.
    QAbstractSocket::SocketError serverError() const;
    QString errorString() const;
    int connectionCount() const { return m_connections.size(); }
    // 1024, or fewer when the process may open fewer descriptors.
    static int maxDescriptors();
    // Sockets of the connections and files of the answers they stream.
    int descriptorsInUse() const;
    QString rootDir() const;
    // Idle and incomplete-head limits for new connections (120 s and 60 s by default).
    void setTimeouts(int idleMs, int headMs);

public slots:
    void newConnection();
    void onRequest(HttpRequest *request, HttpResponse *response);

private:
    bool hasRoom() const;
    void pauseWithoutDescriptors();
    void resumeAccepting();
    // Closes one connection other than keep: the oldest with nothing to send that has been
    // quiet for idleMs, else the one whose peer has stalled longest; false when none may go.
    bool makeRoom(const HttpConnection *keep, qint64 idleMs);
    void onAcceptError(QAbstractSocket::SocketError error);
    void takeConnection(QTcpSocket *socket);
    void closeAll();

    std::vector<QTcpServer *> m_tcpServers; // owned; the first is the configured address
    QStringList m_heldOrigins;
    QAbstractSocket::SocketError m_error = QAbstractSocket::UnknownSocketError;
    QString m_errorString;
    QTimer m_resumeTimer;
    QList<HttpConnection *> m_connections; // oldest first
    std::unique_ptr<StaticFileHandler> m_handler;
    int m_idleMs = 120 * 1000;
    int m_headMs = 60 * 1000;
};
