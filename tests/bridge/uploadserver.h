#pragma once

#include <QByteArray>
#include <QHash>
#include <QTcpServer>
#include <QTcpSocket>

// A loopback HTTP/1.1 server that keeps the last request it read whole (headers and body)
// and answers every request with the configured status.
class UploadServer : public QTcpServer
{
    Q_OBJECT
public:
    explicit UploadServer(QObject *parent = nullptr)
        : QTcpServer(parent)
    {
        connect(this, &QTcpServer::newConnection, this, &UploadServer::onNewConnection);
        listen(QHostAddress::LocalHost, 0);
    }

    QString url(const QString &path = QStringLiteral("/upload")) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(serverPort()).arg(path);
    }

    int status = 200;
    bool answers = true; // false: reads every request whole and never answers
    QByteArray method;
    QByteArray target;
    QHash<QByteArray, QByteArray> headers; // lower-case names
    QByteArray body;
    int requests = 0;

signals:
    void requestRead();

private:
    void onNewConnection()
    {
        while (QTcpSocket *socket = nextPendingConnection()) {
            auto *buffer = new QByteArray;
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QObject::destroyed, [buffer] { delete buffer; });
            connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] { onReadyRead(socket, buffer); });
        }
    }

    void onReadyRead(QTcpSocket *socket, QByteArray *buffer)
    {
        buffer->append(socket->readAll());
        const int headerEnd = buffer->indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        const QList<QByteArray> lines = buffer->left(headerEnd).split('\n');
        QHash<QByteArray, QByteArray> parsed;
        for (int i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const int colon = line.indexOf(':');
            if (colon > 0)
                parsed.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
        }
        const qint64 length = parsed.value("content-length", "0").toLongLong();
        if (buffer->size() - (headerEnd + 4) < length)
            return;
        const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
        method = requestLine.value(0);
        target = requestLine.value(1);
        headers = parsed;
        body = buffer->mid(headerEnd + 4, int(length));
        buffer->remove(0, headerEnd + 4 + int(length));
        ++requests;
        if (!answers) {
            emit requestRead();
            return;
        }
        const QByteArray answer = QByteArray::number(status);
        socket->write("HTTP/1.1 " + answer + " Status\r\nContent-Length: 2\r\nContent-Type: text/plain\r\n\r\nok");
        emit requestRead();
    }
};
