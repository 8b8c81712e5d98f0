#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QUrl>

class HttpConnection;

// Header names in lower case, values as sent.
typedef QHash<QString, QString> HeaderHash;

// What the connection has parsed of one request. The connection owns it and releases it
// once both the request has been received and its response has ended.
class HttpRequest : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpRequest)
    Q_PROPERTY(HeaderHash headers READ headers)
    Q_PROPERTY(QString remoteAddress READ remoteAddress)
    Q_PROPERTY(quint16 remotePort READ remotePort)
    Q_PROPERTY(QString method READ method)
    Q_PROPERTY(QUrl url READ url)
    Q_PROPERTY(QString path READ path)
    Q_PROPERTY(QString httpVersion READ httpVersion)
public:
    explicit HttpRequest(HttpConnection *connection, QObject *parent = nullptr);

    HttpConnection *connection() const { return m_connection; }
    const HeaderHash &headers() const { return m_headers; }
    QString header(const QString &field) const { return m_headers.value(field); }
    QString remoteAddress() const { return m_remoteAddress; }
    quint16 remotePort() const { return m_remotePort; }
    QString method() const { return m_method; }
    QUrl url() const { return m_url; }
    QString path() const { return m_url.path(); }
    QString httpVersion() const { return m_httpVersion; }

    void setHeaders(const HeaderHash &headers) { m_headers = headers; }
    void setMethod(const QString &method) { m_method = method; }
    void setUrl(const QUrl &url) { m_url = url; }
    QUrl &urlRef() { return m_url; }
    void setHttpVersion(const QString &version) { m_httpVersion = version; }
    void setRemoteAddress(const QString &address) { m_remoteAddress = address; }
    void setRemotePort(quint16 port) { m_remotePort = port; }

signals:
    void data(const QByteArray &data);
    void end();

private:
    HttpConnection *m_connection;
    HeaderHash m_headers;
    QString m_method;
    QUrl m_url;
    QString m_httpVersion;
    QString m_remoteAddress;
    quint16 m_remotePort = 0;
};

Q_DECLARE_METATYPE(HeaderHash)
