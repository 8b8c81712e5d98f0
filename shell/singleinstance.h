#pragma once

#include <QSharedMemory>
#include <QString>

// The instance guard: a one-byte shared memory segment whose existence marks a running
// instance. A segment left behind by a killed instance does not count.
class SingleInstance
{
    Q_DISABLE_COPY(SingleInstance)
public:
    enum Result { Acquired, AlreadyRunning, CreateFailed };

    SingleInstance() = default;
    Result acquire(const QString &key);

private:
    QSharedMemory m_memory;
};
