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
// after a message until its response has ended.
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

    static const int MaxHeadBytes = 64 * 1024;

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
    QString m_currentHeaderField;
    QString m_currentHeaderValue;
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
