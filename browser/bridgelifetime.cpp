#include "bridgelifetime.h"

#include <QObject>
#include <QVariant>

namespace {
const char RetiredProperty[] = "_kavo_retired";
const char ModalCallsProperty[] = "_kavo_modal_calls";

int modalCalls(const QObject *object)
{
    return object->property(ModalCallsProperty).toInt();
}
} // namespace

namespace BridgeLifetime {

void retire(QObject *object)
{
    if (!object)
        return;
    object->setProperty(RetiredProperty, true);
    // The last guard deletes it once the waiting slot has returned.
    if (modalCalls(object) == 0)
        delete object;
}

bool isRetired(const QObject *object)
{
    return object && object->property(RetiredProperty).toBool();
}

} // namespace BridgeLifetime

ModalCallGuard::ModalCallGuard(QObject *object)
    : m_object(object)
{
    if (object)
        object->setProperty(ModalCallsProperty, modalCalls(object) + 1);
}

ModalCallGuard::~ModalCallGuard()
{
    if (!m_object)
        return;
    const int calls = modalCalls(m_object) - 1;
    m_object->setProperty(ModalCallsProperty, calls);
    // Still on the stack of the script call that waited: delete from the event loop.
    if (calls == 0 && BridgeLifetime::isRetired(m_object))
        m_object->deleteLater();
}
