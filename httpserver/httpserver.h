#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <memory>

class HttpRequest;
class HttpResponse;
class QTcpServer;
class StaticFileHandler;

// The local HTTP server: accepts connections and answers every request with a file from
// the packages or the file system below its root directory (the program's directory by
// default). Never shows a dialog while answering.
class HttpServer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpServer)
public:
    static const quint16 DefaultPort = 58899;

    explicit HttpServer(const QString &rootDir = QString(), QObject *parent = nullptr);
    ~HttpServer() override;

    bool listen(const QHostAddress &address, quint16 port);
    bool listen(quint16 port);
    quint16 serverPort() const;
    QString rootDir() const;
    // Idle and incomplete-head limits for new connections (120 s and 60 s by default).
    void setTimeouts(int idleMs, int headMs);

public slots:
    void newConnection();
    void onRequest(HttpRequest *request, HttpResponse *response);

private:
    QTcpServer *m_tcpServer = nullptr;
    std::unique_ptr<StaticFileHandler> m_handler;
    int m_idleMs = 120 * 1000;
    int m_headMs = 60 * 1000;
};
