#pragma once

#include <QHash>
#include <QObject>
#include <QString>

#include <QPair>
#include <QVector>

#include <functional>

class BrowserWindow;

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

    // The bridge objects every window publishes into each new script environment of its page,
    // in registration order, under the registered name. The window owns what the creator returns.
    using WindowObjectCreator = std::function<QObject *(BrowserWindow *)>;
    bool registerWindowObject(const QString &name, const WindowObjectCreator &creator);
    QVector<QPair<QString, WindowObjectCreator>> windowObjects() const { return m_windowObjects; }

    // Registers every creator of both tables; defined by the main program's application library.
    bool init();

private:
    Host() = default;
    QHash<QString, Creator> m_creators;
    QVector<QPair<QString, WindowObjectCreator>> m_windowObjects;
};
