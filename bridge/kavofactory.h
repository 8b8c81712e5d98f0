#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

// Creates further script-visible objects on request of the page ("ClientDb", "Window").
// The databases it creates belong to the window's set of bridge objects: the factory deletes them
// when the set goes (page reload or window close), since no later page can reach them. Windows it
// creates outlive it. Guarded pointers skip objects that already went.
class KavoFactory : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(KavoFactory)
public:
    explicit KavoFactory(QObject *parent = nullptr);
    ~KavoFactory() override;

    // Null, seen by the page as null, for a type name not in the creator table.
    Q_INVOKABLE QObject *createObject(QString type);

    int liveObjectCount() const;

private:
    QList<QPointer<QObject>> m_created;
};
