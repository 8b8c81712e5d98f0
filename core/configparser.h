#pragma once

#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariant>

class QSettings;

// One INI file beside the program, read and written as UTF-8. Never creates the file.
class ConfigParser : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ConfigParser)
public:
    // Every integer or floating-point read of an absent key gives this.
    static constexpr int Missing = -99999;

    explicit ConfigParser(const QString &path);
    ~ConfigParser() override;

    bool open();
    QVariant value(const QString &key, const QVariant &defaultValue = QVariant()) const;
    QString stringValue(const QString &key) const;
    QUrl urlValue(const QString &key) const;
    int intValue(const QString &key, bool *ok = nullptr) const;
    float floatValue(const QString &key, bool *ok = nullptr) const;
    void setValue(const QString &key, const QVariant &value);
    bool contains(const QString &key, bool *ok = nullptr) const;

private:
    bool openResolved(const QString &resolvedPath);

    QSettings *m_settings = nullptr;
    QString m_path;
};
