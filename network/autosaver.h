#pragma once

#include <QBasicTimer>
#include <QElapsedTimer>
#include <QObject>

// Turns a stream of change notifications into one deferred call of the parent's save() slot:
// 3 s after the last change of a burst, but no later than about 15 s after the first.
class AutoSaver : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(AutoSaver)
public:
    explicit AutoSaver(QObject *parent);
    ~AutoSaver() override;

    // Calls the parent's save() now when a save is owed.
    void saveIfNeccessary();
    bool isPending() const { return m_timer.isActive(); }

public slots:
    void changeOccurred();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    QBasicTimer m_timer;
    QElapsedTimer m_firstChange;
};
