#include "kavofactory.h"

#include "browser/host.h"

KavoFactory::KavoFactory(QObject *parent)
    : QObject(parent)
{
}

KavoFactory::~KavoFactory()
{
    for (const QPointer<QObject> &object : qAsConst(m_created))
        delete object.data();
}

QObject *KavoFactory::createObject(QString type)
{
    const Host::Creator creator = Host::instance().lookupCreator(type);
    if (!creator)
        return nullptr;
    QObject *object = creator();
    if (!object)
        return nullptr;
    // Windows the page opened stay open for the user; only the objects the page alone can
    // reach (databases) go with this set. Forget objects that went on their own, so a
    // long-lived page does not grow the list.
    if (object->isWidgetType())
        return object;
    m_created.removeAll(QPointer<QObject>());
    m_created.append(object);
    return object;
}

int KavoFactory::liveObjectCount() const
{
    int count = 0;
    for (const QPointer<QObject> &object : m_created)
        count += object ? 1 : 0;
    return count;
}
