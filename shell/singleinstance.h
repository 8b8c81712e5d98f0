#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

// The instance guard: an exclusive lock on a file of the current user, named by the key. The
// kernel drops the lock however its process ends, so a killed instance leaves nothing that counts,
// and a file path cannot collide with another program's guard as System V keys made with ftok do.
// The instance that holds the guard also listens on a local socket of the current user, through
// which a later start asks it to bring its window to the front.
class SingleInstance : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(SingleInstance)
public:
    enum Result { Acquired, AlreadyRunning, CreateFailed };

    explicit SingleInstance(QObject *parent = nullptr);
    ~SingleInstance() override;

    // "Kavo.V5.Browser" joined with the application's name and the user: several users and
    // several Kavo applications share one machine without blocking each other.
    static QString instanceKey(const QString &applicationName, const QString &userName = currentUserName());
    static QString currentUserName();

    // CreateFailed when the lock file cannot be opened or locked, or is not this user's own;
    // errorString() then says why.
    Result acquire(const QString &key);
    // As acquire(), trying again for up to waitMs while another instance holds the guard: one
    // that is ending keeps it until its last thread has gone, a moment after its window.
    Result acquire(const QString &key, int waitMs);

    // After acquire() succeeded: accept activation requests of later starts.
    bool listenForActivation();
    // Asks the instance holding key to come to the front; true once it confirmed.
    static bool requestActivation(const QString &key, int timeoutMs = 3000);
    // The socket of key's instance: in the user's runtime folder, named by a digest of the key.
    static QString activationSocketName(const QString &key);
    // The lock file of key's guard, beside its socket.
    static QString lockFileName(const QString &key);
    QString errorString() const { return m_error; }

signals:
    void activationRequested();

private:
    void onNewConnection();
    void release();

    int m_lockFd = -1;
    QString m_error;
    QString m_key;
    QLocalServer *m_server = nullptr;
};
