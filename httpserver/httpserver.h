#pragma once

#include <QAbstractSocket>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class HttpConnection;
class HttpRequest;
class HttpResponse;
class QTcpServer;
class StaticFileHandler;

// The local HTTP server: accepts connections and answers every request with a file from
// the packages or the file system below its root directory (the program's directory by
// default). Never shows a dialog while answering. Its connections and the files they stream
// use at most maxDescriptors() descriptors: a new connection beyond that closes the oldest one
// that has nothing to send, else the one whose peer has stalled longest, else is itself
// closed at once. Accepting that fails for want of descriptors is taken up again shortly.
class HttpServer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpServer)
public:
    static const quint16 DefaultPort = 58899;

    explicit HttpServer(const QString &rootDir = QString(), QObject *parent = nullptr);
    ~HttpServer() override;

    bool listen(const QHostAddress &address, quint16 port);
    // This machine only (127.0.0.1).
    bool listen(quint16 port);
    quint16 serverPort() const;
    QHostAddress serverAddress() const;
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

    QTcpServer *m_tcpServer = nullptr;
    QTimer m_resumeTimer;
    QList<HttpConnection *> m_connections; // oldest first
    std::unique_ptr<StaticFileHandler> m_handler;
    int m_idleMs = 120 * 1000;
    int m_headMs = 60 * 1000;
};
