#pragma once

#include <QHash>
#include <QObject>
#include <QString>

#include <functional>

// The process-wide table of object creators behind KavoFactory.createObject: filled once at
// start-up, before any window exists, and only read afterwards. Type names compare exactly.
class Host
{
    Q_DISABLE_COPY(Host)
public:
    using Creator = std::function<QObject *()>;

    static Host &instance();

    // False, and the first creator kept, when the name is already present.
    bool registerCreator(const QString &name, const Creator &creator);
    Creator lookupCreator(const QString &name) const;

private:
    Host() = default;
    QHash<QString, Creator> m_creators;
};
