#include "error.h"

Error::Error(const QString &message, QObject *parent)
    : QObject(parent)
    , m_message(message)
{
}
