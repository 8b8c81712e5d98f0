#pragma once

#include "httprequest.h"
#include "httpresponse.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <http_parser.h>

class HttpResponse;
class QTcpSocket;

// One accepted socket: feeds its bytes to http-parser and turns each message into an
// HttpRequest/HttpResponse pair. Requests are answered strictly in order: parsing pauses
// after a message until its response has ended and the answers written so far have drained
// below a bound, so a peer that pipelines without reading costs a bounded amount of memory.
class HttpConnection : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpConnection)
public:
    HttpConnection(QTcpSocket *socket, QObject *parent = nullptr);
    ~HttpConnection() override;

    void writeBytes(const QByteArray &bytes);
    void writeBytes(const QByteArray &head, const QByteArray &body);
    qint64 bytesToWrite() const;
    void setTimeouts(int idleMs, int headMs);

    // Drops the connection at once, answer or not; the object goes later.
    void abort();
    // True while no answer is in progress or waiting to go out: the connection may be closed
    // to make room, and the idle time-out may close it.
    bool isIdle() const;
    // The socket, and the file a streamed answer is read from.
    int descriptorCount() const;
    // Time since bytes last moved either way.
    qint64 quietMs() const { return m_activity.elapsed(); }

    static const int MaxHeadBytes = 64 * 1024;
    // Answers waiting in the socket beyond this stop the parsing of further requests.
    static const qint64 MaxPendingWrite = 1024 * 1024;
    // Request bytes kept back while parsing waits; the socket's own read buffer is as small.
    static const int MaxUnparsedBytes = 64 * 1024;

signals:
    void newRequest(HttpRequest *request, HttpResponse *response);
    void bytesWritten();

public slots:
    void parseRequest();
    void responseDone();

private:
    static int onMessageBegin(http_parser *parser);
    static int onUrl(http_parser *parser, const char *at, size_t length);
    static int onHeaderField(http_parser *parser, const char *at, size_t length);
    static int onHeaderValue(http_parser *parser, const char *at, size_t length);
    static int onHeadersComplete(http_parser *parser);
    static int onBody(http_parser *parser, const char *at, size_t length);
    static int onMessageComplete(http_parser *parser);

    void feed(const char *data, size_t length);
    bool isBlocked() const;
    void refuse(int status);
    void storePendingHeader();
    void releaseRequestIfFinished();
    bool headTooLarge(size_t more);

    QTcpSocket *m_socket;
    http_parser_settings m_settings;
    http_parser *m_parser;
    HttpRequest *m_request = nullptr;
    HttpResponse *m_response = nullptr;
    HttpResponse *m_endedResponse = nullptr;
    bool m_messageComplete = false;
    HeaderHash m_currentHeaders;
    // Raw bytes until the header is complete, so a character split between reads decodes whole.
    QByteArray m_currentHeaderField;
    QByteArray m_currentHeaderValue;
    bool m_lastWasValue = false;
    QByteArray m_url;
    size_t m_headBytes = 0;
    bool m_inHead = false;
    bool m_closing = false;
    QByteArray m_unparsed;
    QTimer m_idleTimer;
    QElapsedTimer m_activity;
    int m_idleMs = 0;
    QTimer m_headTimer;
};
