#pragma once

#include <QObject>

// Creates further script-visible objects on request of the page ("ClientDb", "Window").
// Keeps no reference to what it made; the page's garbage collector never owns these objects.
class KavoFactory : public QObject
{
    Q_OBJECT
public:
    explicit KavoFactory(QObject *parent = nullptr);

    // Null, seen by the page as null, for a type name not in the creator table.
    Q_INVOKABLE QObject *createObject(QString type);
};
