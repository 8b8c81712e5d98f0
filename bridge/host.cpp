#include "host.h"

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
