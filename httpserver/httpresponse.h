#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

class HttpConnection;
class QIODevice;

// Writes one answer to the connection: status line, headers (length, connection and date
// decided automatically unless the caller set them), body. Once it has ended, its connection deletes it.
class HttpResponse : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpResponse)
public:
    explicit HttpResponse(HttpConnection *connection, QObject *parent = nullptr);
    ~HttpResponse() override;

    void writeHead();

    void setKeepAlive(bool on) { m_keepAlive = on; }
    bool keepAlive() const { return m_keepAlive; }
    bool isLastResponse() const { return m_last; }
    bool isDone() const { return m_done; }
    // For HEAD: everything of the answer but its body bytes.
    void setHeadOnly(bool on) { m_headOnly = on; }
    bool headOnly() const { return m_headOnly; }

    // Ends the answer with the device's next `length` bytes, read and sent in chunks as the
    // socket drains, so a file of any size costs a bounded amount of memory. Takes the device.
    void endWithDevice(QIODevice *device, qint64 length);
    // A streamed body holds a descriptor of its own until it has been read.
    bool isStreaming() const { return bool(m_device); }
    // Closes a streamed body's device now, for a connection that is being dropped.
    void releaseDevice();

    static QString statusText(int status);
    static QString contentTypeForSuffix(const QString &suffix);
    // "ddd, dd MMM yyyy hh:mm:ss GMT", English, of the current UTC time plus `addYears` years.
    static QString httpDate(int addYears = 0);

signals:
    void done();

public slots:
    void write(const QByteArray &data);
    void write(const QString &data);
    void end(const QString &data);
    void end();
    void end(const QByteArray &data);
    void setHeader(const QString &field, const QString &value);
    bool setHeaderContentType(const QString &fileSuffix);
    void setStatus(int status);

private:
    void writeHeaders(QByteArray &out);
    QByteArray headBytes();
    void finish();
    void pump();

    QPointer<HttpConnection> m_connection;
    QHash<QString, QString> m_headers;
    int m_status = 500;
    bool m_headerWritten = false;
    bool m_sentConnectionHeader = false;
    bool m_sentContentLengthHeader = false;
    bool m_sentTransferEncodingHeader = false;
    bool m_sentDateHeader = false;
    bool m_keepAlive = true;
    bool m_last = false;
    bool m_chunked = false;
    bool m_headOnly = false;
    bool m_done = false;

    std::unique_ptr<QIODevice> m_device;
    qint64 m_remaining = 0;
    QMetaObject::Connection m_drainConnection;
};
