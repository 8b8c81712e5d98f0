#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QVariantMap>

// A scripted HTTP/1.1 server on loopback for remote-data tests: records every request it gets
// and answers by path. Answers may be sent in pieces with pauses between them.
class LoopbackHttpServer : public QTcpServer
{
    Q_OBJECT
public:
    struct Request
    {
        QByteArray method;
        QByteArray target;
        QMap<QByteArray, QByteArray> headers; // lower-case names
        QList<QPair<QByteArray, QByteArray>> rawHeaders;
        QByteArray body;
    };
    struct Answer
    {
        QByteArray head;           // status line and headers, without the blank line
        QList<QByteArray> pieces;  // body pieces, written with a pause between them
        bool silent = false;       // accept and never answer
        bool close = false;        // close the connection without answering
        bool resetAfter = false;   // drop the connection after the head and the pieces
    };

    explicit LoopbackHttpServer(QObject *parent = nullptr)
        : QTcpServer(parent)
    {
        connect(this, &QTcpServer::newConnection, this, &LoopbackHttpServer::accept);
    }

    bool start() { return listen(QHostAddress::LocalHost, 0); }
    // From now on it speaks https with this certificate and key.
    void useTls(const QSslCertificate &certificate, const QSslKey &key)
    {
        m_certificate = certificate;
        m_key = key;
    }
    QString url(const QString &path) const
    {
        return QStringLiteral("%1://127.0.0.1:%2%3")
            .arg(m_certificate.isNull() ? QStringLiteral("http") : QStringLiteral("https"))
            .arg(serverPort())
            .arg(path);
    }

    void route(const QByteArray &path, const Answer &answer) { m_routes.insert(path, answer); }

    static Answer simple(int status, const QByteArray &body, const QList<QByteArray> &extraHeaders = {})
    {
        Answer a;
        a.head = "HTTP/1.1 " + QByteArray::number(status) + " X\r\nContent-Length: "
            + QByteArray::number(body.size()) + "\r\n";
        for (const QByteArray &h : extraHeaders)
            a.head += h + "\r\n";
        if (!body.isEmpty())
            a.pieces << body;
        return a;
    }

    // The values a page got for a header of its answer, under any case of the name: names are
    // case-insensitive, and Qt 6.7 and later hand them over in lower case.
    static QStringList answerHeader(const QVariantMap &headers, const QString &name)
    {
        QStringList values;
        for (auto it = headers.constBegin(); it != headers.constEnd(); ++it) {
            if (it.key().compare(name, Qt::CaseInsensitive) == 0)
                values << it.value().toString();
        }
        return values;
    }

    QList<Request> requests;

protected:
    void incomingConnection(qintptr handle) override
    {
        if (m_certificate.isNull()) {
            QTcpServer::incomingConnection(handle);
            return;
        }
        auto *socket = new QSslSocket(this);
        socket->setSocketDescriptor(handle);
        socket->setLocalCertificate(m_certificate);
        socket->setPrivateKey(m_key);
        socket->startServerEncryption();
        addPendingConnection(socket);
    }

private:
    void accept()
    {
        while (QTcpSocket *socket = nextPendingConnection()) {
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
        }
    }

    void readFrom(QTcpSocket *socket)
    {
        QByteArray &buffer = m_buffers[socket];
        buffer += socket->readAll();
        for (;;) {
            const int end = buffer.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            Request request;
            const QList<QByteArray> lines = buffer.left(end).split('\n');
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            request.method = first.value(0);
            request.target = first.value(1);
            for (int i = 1; i < lines.size(); ++i) {
                const QByteArray line = lines.at(i);
                const int colon = line.indexOf(':');
                if (colon < 0)
                    continue;
                const QByteArray name = line.left(colon).trimmed();
                const QByteArray value = line.mid(colon + 1).trimmed();
                request.rawHeaders.append(qMakePair(name, value));
                request.headers.insert(name.toLower(), value);
            }
            const int length = request.headers.value("content-length").toInt();
            if (buffer.size() < end + 4 + length)
                return;
            request.body = buffer.mid(end + 4, length);
            buffer.remove(0, end + 4 + length);
            requests.append(request);
            answer(socket, m_routes.value(request.target.split('?').value(0), simple(404, "no route")));
        }
    }

    void answer(QTcpSocket *socket, const Answer &answer)
    {
        if (answer.silent)
            return;
        if (answer.close) {
            socket->disconnectFromHost();
            return;
        }
        socket->write(answer.head + "\r\n");
        socket->flush();
        writePieces(socket, answer.pieces, answer.resetAfter);
    }

    void writePieces(QPointer<QTcpSocket> socket, QList<QByteArray> pieces, bool resetAfter)
    {
        if (!socket)
            return;
        if (!pieces.isEmpty()) {
            socket->write(pieces.takeFirst());
            socket->flush();
        }
        if (!pieces.isEmpty() || resetAfter)
            QTimer::singleShot(80, this, [this, socket, pieces, resetAfter] {
                if (pieces.isEmpty()) {
                    // Ends the connection short of the promised body: the transfer breaks off.
                    if (socket)
                        socket->abort();
                    return;
                }
                writePieces(socket, pieces, resetAfter);
            });
    }

    QSslCertificate m_certificate;
    QSslKey m_key;
    QMap<QByteArray, Answer> m_routes;
    QMap<QTcpSocket *, QByteArray> m_buffers;
};
