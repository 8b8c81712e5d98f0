#pragma once

#include <QMetaType>
#include <QObject>
#include <QString>

// A network reply error code, or 999 with the caller's own text, formatted as one line
// "Code:%0, Description: %1". A plain value: copied freely between threads.
class NetworkError : public QObject
{
    Q_OBJECT
public:
    enum { CustomErrorCode = 999 };

    NetworkError();
    explicit NetworkError(int code, QObject *parent = nullptr);
    NetworkError(const NetworkError &other);
    NetworkError &operator=(const NetworkError &other);

    void setErrorCode(int code);
    void setErrorString(const QString &text);
    int errorCode() const { return m_code; }
    QString errorString() const { return m_text; }
    bool hasError() const { return m_code != 0; }
    QString toString() const;

private:
    int m_code = 0;
    QString m_text;
};

Q_DECLARE_METATYPE(NetworkError)
