#include "singleinstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>

#include <pwd.h>
#include <unistd.h>

namespace {
const QByteArray activateRequest("activate\n");
const QByteArray activateAnswer("ok\n");
// A request is one short line; anything longer is not ours.
constexpr int maxRequestBytes = 64;
constexpr int requestTimeoutMs = 5000;
} // namespace

SingleInstance::SingleInstance(QObject *parent)
    : QObject(parent)
{
}

SingleInstance::~SingleInstance()
{
    if (m_server)
        m_server->close();
}

QString SingleInstance::currentUserName()
{
    const uid_t uid = geteuid();
    if (const passwd *entry = getpwuid(uid)) {
        if (entry->pw_name && *entry->pw_name)
            return QString::fromLocal8Bit(entry->pw_name);
    }
    return QString::number(uid);
}

QString SingleInstance::instanceKey(const QString &applicationName, const QString &userName)
{
    return QStringLiteral("Kavo.V5.Browser.%1.%2").arg(applicationName, userName);
}

SingleInstance::Result SingleInstance::acquire(const QString &key)
{
    m_key = key;
    // System V segments outlive a process killed with SIGKILL. Attaching and detaching a probe
    // destroys a segment that no process holds any more; a live instance keeps its own.
    {
        QSharedMemory probe(key);
        if (probe.attach())
            probe.detach();
    }
    m_memory.setKey(key);
    if (m_memory.attach(QSharedMemory::ReadWrite)) {
        m_memory.detach();
        return AlreadyRunning;
    }
    if (!m_memory.create(1, QSharedMemory::ReadWrite))
        return m_memory.error() == QSharedMemory::AlreadyExists ? AlreadyRunning : CreateFailed;
    return Acquired;
}

SingleInstance::Result SingleInstance::acquire(const QString &key, int waitMs)
{
    QElapsedTimer waited;
    waited.start();
    Result result = acquire(key);
    while (result == AlreadyRunning && waited.elapsed() < waitMs) {
        QThread::msleep(100);
        result = acquire(key);
    }
    return result;
}

QString SingleInstance::activationSocketName(const QString &key)
{
    // The runtime folder belongs to the user alone; the shared temporary folder is the fallback,
    // where the user's name inside the key keeps users apart. The digest keeps the name short and
    // free of path characters whatever the application is called.
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QDir::tempPath();
    const QByteArray digest = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1).toHex().left(24);
    return folder + QStringLiteral("/kavo-") + QString::fromLatin1(digest);
}

bool SingleInstance::listenForActivation()
{
    if (m_server || m_key.isEmpty())
        return m_server != nullptr;
    const QString name = activationSocketName(m_key);
    // This process holds the guard, so a socket left under the name is a killed instance's.
    QLocalServer::removeServer(name);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::onNewConnection);
    if (!m_server->listen(name)) {
        qWarning("cannot listen on %s: %s", qPrintable(name), qPrintable(m_server->errorString()));
        delete m_server;
        m_server = nullptr;
        return false;
    }
    return true;
}

void SingleInstance::onNewConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        // A caller that never finishes its line is dropped.
        QTimer::singleShot(requestTimeoutMs, socket, [socket] { socket->abort(); });
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (socket->bytesAvailable() > maxRequestBytes) {
                socket->abort();
                return;
            }
            if (!socket->canReadLine())
                return;
            if (socket->readLine(maxRequestBytes + 1) == activateRequest) {
                emit activationRequested();
                socket->write(activateAnswer);
                socket->flush();
            }
            socket->disconnectFromServer();
        });
    }
}

bool SingleInstance::requestActivation(const QString &key, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(activationSocketName(key));
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(activateRequest);
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(timeoutMs))
            return false;
    }
    return socket.readLine(maxRequestBytes) == activateAnswer;
}
