#pragma once

#include <QObject>
#include <QString>

// A plain error message.
class Error : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Error)
public:
    explicit Error(const QString &message, QObject *parent = nullptr);
    QString message() const { return m_message; }

private:
    QString m_message;
};
