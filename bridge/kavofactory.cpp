#include "kavofactory.h"

#include "host.h"

KavoFactory::KavoFactory(QObject *parent)
    : QObject(parent)
{
}

QObject *KavoFactory::createObject(QString type)
{
    const Host::Creator creator = Host::instance().lookupCreator(type);
    return creator ? creator() : nullptr;
}
