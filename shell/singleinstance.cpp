#include "singleinstance.h"

SingleInstance::Result SingleInstance::acquire(const QString &key)
{
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
