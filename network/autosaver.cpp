#include "autosaver.h"

#include <QDebug>
#include <QMetaObject>
#include <QTimerEvent>

namespace {
constexpr int saveDelayMs = 3000;
constexpr int maxWaitMs = 15000;
} // namespace

AutoSaver::AutoSaver(QObject *parent)
    : QObject(parent)
{
}

AutoSaver::~AutoSaver()
{
    if (m_timer.isActive())
        qWarning() << "AutoSaver: still active when destroyed, changes not saved.";
}

void AutoSaver::changeOccurred()
{
    if (!m_firstChange.isValid())
        m_firstChange.start();
    if (m_firstChange.elapsed() > maxWaitMs) {
        // A pending save must exist for saveIfNeccessary to act.
        if (!m_timer.isActive())
            m_timer.start(saveDelayMs, this);
        saveIfNeccessary();
    } else {
        m_timer.start(saveDelayMs, this);
    }
}

void AutoSaver::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_timer.timerId())
        saveIfNeccessary();
    else
        QObject::timerEvent(event);
}

void AutoSaver::saveIfNeccessary()
{
    if (!m_timer.isActive())
        return;
    m_timer.stop();
    m_firstChange.invalidate();
    if (!QMetaObject::invokeMethod(parent(), "save", Qt::DirectConnection))
        qWarning() << "AutoSaver: error invoking slot save() on parent";
}
