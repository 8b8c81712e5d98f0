#pragma once

#include <QHash>
#include <QJsonArray>
#include <QJsonValue>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

// Calls the public slots and invokable methods of bridge objects by name with arguments that
// arrived as JSON, converting values the way QtWebKit converts script values, so a page sees the
// same objects on an engine whose calls are messages. Objects are known by number; a QObject a
// method returns is given a number too and reaches the page as an object with its methods.
//
// In JSON, {"$kavoObject": n} stands for a known object and {"$kavoDate": ms} for a Date.
class BridgeDispatcher
{
    Q_DISABLE_COPY(BridgeDispatcher)
public:
    BridgeDispatcher() = default;

    struct Result
    {
        QJsonValue value;
        // Set when the call could not be made: the page sees it thrown as an Error, as QtWebKit throws it.
        QString error;
    };

    // A new number for object (the same object keeps its number).
    int add(QObject *object);
    QObject *object(int id) const;
    // Forgets every object: numbers handed out before never resolve again.
    void clear();

    // The methods a page may call on object: public slots and invokable methods of its class and
    // its bases below QObject, each name once.
    static QStringList methodNames(const QObject *object);
    // {"$kavoObject": n, "methods": [...]}.
    QJsonObject describe(QObject *object);

    // Calls method on the object numbered id. The overload is chosen by argument count: the one
    // taking exactly as many, else the one taking the most of those taking fewer; one that needs
    // more arguments than given is never called (extra arguments are ignored, as QtWebKit does).
    Result call(int id, const QString &method, const QJsonArray &arguments);

private:
    QVariant toArgument(const QJsonValue &value, int type, bool *ok) const;
    QJsonValue fromResult(const QVariant &value);
    QVariant toNatural(const QJsonValue &value) const;

    QHash<int, QPointer<QObject>> m_objects;
    QHash<QObject *, int> m_ids;
    int m_next = 1;
};
