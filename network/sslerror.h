#pragma once

#include <QObject>
#include <QString>

// A certificate error code with its English reason text.
class SslError : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(SslError)
public:
    explicit SslError(int code, QObject *parent = nullptr);

    void setErrorCode(int code) { m_code = code; }
    int errorCode() const { return m_code; }
    QString toString() const;

private:
    int m_code;
};
