#include "host.h"

#include <utility>

Host &Host::instance()
{
    static Host host;
    return host;
}

bool Host::registerCreator(const QString &name, const Creator &creator)
{
    if (name.isEmpty() || !creator || m_creators.contains(name))
        return false;
    m_creators.insert(name, creator);
    return true;
}

Host::Creator Host::lookupCreator(const QString &name) const
{
    return m_creators.value(name);
}

bool Host::registerWindowObject(const QString &name, const WindowObjectCreator &creator)
{
    if (name.isEmpty() || !creator)
        return false;
    for (const auto &entry : std::as_const(m_windowObjects)) {
        if (entry.first == name)
            return false;
    }
    m_windowObjects.append(qMakePair(name, creator));
    return true;
}
