#pragma once

#include <QPointer>

class QObject;

// Bridge objects belong to one page. When the page's script environment goes, its window
// retires them: they are deleted at once, or, while one of their slots waits in a modal dialog
// (whose nested event loop may well run the reload), right after that slot has returned.
// A retired object raises no events: the page it would speak to is gone.
namespace BridgeLifetime {
void retire(QObject *object);
bool isRetired(const QObject *object);
} // namespace BridgeLifetime

// Held by a bridge slot for as long as it may wait in a modal dialog or message box.
class ModalCallGuard
{
    Q_DISABLE_COPY(ModalCallGuard)
public:
    explicit ModalCallGuard(QObject *object);
    ~ModalCallGuard();

private:
    QPointer<QObject> m_object;
};
