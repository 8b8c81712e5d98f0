#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

// Creates further script-visible objects on request of the page ("ClientDb", "Window").
// What it creates belongs to the window's set of bridge objects as long as no one but the page
// can reach it: the factory deletes the databases, and the windows never shown, when the set goes
// (page reload or window close), since no later page can reach them. A window once shown is the
// user's and outlives it. Guarded pointers skip objects that already went.
class KavoFactory : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(KavoFactory)
public:
    explicit KavoFactory(QObject *parent = nullptr);
    ~KavoFactory() override;

    // Null, seen by the page as null, for a type name not in the creator table.
    Q_INVOKABLE QObject *createObject(QString type);

    // Databases and windows never shown that go with this factory.
    int liveObjectCount() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QList<QPointer<QObject>> m_created;
    QList<QPointer<QObject>> m_unshownWindows;
};
