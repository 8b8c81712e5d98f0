#include "kavofactory.h"

#include "browser/host.h"

#include <QEvent>

#include <utility>

KavoFactory::KavoFactory(QObject *parent)
    : QObject(parent)
{
}

KavoFactory::~KavoFactory()
{
    for (const QPointer<QObject> &object : std::as_const(m_created))
        delete object.data();
    // Later, from the event loop: a window carries a page of its own.
    for (const QPointer<QObject> &window : std::as_const(m_unshownWindows)) {
        if (window) {
            window->removeEventFilter(this);
            window->deleteLater();
        }
    }
}

QObject *KavoFactory::createObject(QString type)
{
    const Host::Creator creator = Host::instance().lookupCreator(type);
    if (!creator)
        return nullptr;
    QObject *object = creator();
    if (!object)
        return nullptr;
    // Forget objects that went on their own, so a long-lived page does not grow the lists.
    if (object->isWidgetType()) {
        // Until it is shown the window is only the page's; shown, it is the user's.
        m_unshownWindows.removeAll(QPointer<QObject>());
        m_unshownWindows.append(object);
        object->installEventFilter(this);
        return object;
    }
    m_created.removeAll(QPointer<QObject>());
    m_created.append(object);
    return object;
}

bool KavoFactory::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Show) {
        m_unshownWindows.removeAll(watched);
        watched->removeEventFilter(this);
    }
    return QObject::eventFilter(watched, event);
}

int KavoFactory::liveObjectCount() const
{
    int count = 0;
    for (const QPointer<QObject> &object : m_created)
        count += object ? 1 : 0;
    for (const QPointer<QObject> &window : m_unshownWindows)
        count += window ? 1 : 0;
    return count;
}
