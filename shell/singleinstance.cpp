#include "singleinstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QByteArray activateRequest("activate\n");
const QByteArray activateAnswer("ok\n");
// A request is one short line; anything longer is not ours.
constexpr int maxRequestBytes = 64;
constexpr int requestTimeoutMs = 5000;

// The runtime folder belongs to the user alone; the shared temporary folder is the fallback,
// where the user's name inside the key keeps users apart. A runtime folder that is not this
// user's own (one inherited through su or runuser) is not used. The digest keeps the name short
// and free of path characters whatever the application is called.
QString runtimeName(const QString &key)
{
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    struct stat info = {};
    if (folder.isEmpty() || stat(QFile::encodeName(folder).constData(), &info) != 0 || !S_ISDIR(info.st_mode)
        || info.st_uid != geteuid())
        folder = QDir::tempPath();
    const QByteArray digest = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1).toHex().left(24);
    return folder + QStringLiteral("/kavo-") + QString::fromLatin1(digest);
}
} // namespace

SingleInstance::SingleInstance(QObject *parent)
    : QObject(parent)
{
}

SingleInstance::~SingleInstance()
{
    if (m_server)
        m_server->close();
    release();
}

void SingleInstance::release()
{
    // The file stays: removing it would let a later start lock a new file while another start
    // still holds the old one.
    if (m_lockFd >= 0)
        ::close(m_lockFd);
    m_lockFd = -1;
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
    release();
    m_key = key;
    m_error.clear();
    const QString name = lockFileName(key);
    // Never through a link, and only a file of this user: in the shared temporary folder anyone
    // may have put something under the name.
    const int fd = ::open(QFile::encodeName(name).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    struct stat info = {};
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
        m_error = fd < 0 ? QStringLiteral("%1: %2").arg(name, QString::fromLocal8Bit(std::strerror(errno)))
                         : QStringLiteral("%1: not a file of this user").arg(name);
        if (fd >= 0)
            ::close(fd);
        return CreateFailed;
    }
    int locked;
    do
        locked = flock(fd, LOCK_EX | LOCK_NB);
    while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK)
            return AlreadyRunning;
        m_error = QStringLiteral("%1: %2").arg(name, QString::fromLocal8Bit(std::strerror(error)));
        return CreateFailed;
    }
    m_lockFd = fd;
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
    return runtimeName(key);
}

QString SingleInstance::lockFileName(const QString &key)
{
    return runtimeName(key) + QStringLiteral(".lock");
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
