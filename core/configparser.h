#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariant>

// One INI file beside the program, read and written as UTF-8. Never creates the file. Qt's settings
// reader never sees the file itself (see IniVariants): its values are read once, inertly, and a
// change writes them all to a new file that replaces the old one.
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
    // The file's absolute path and why open() failed, for the log; empty after a success.
    QString errorString() const { return m_error; }
    // Whether the file held no key at all (a file of something else reads so as well).
    bool isEmpty() const { return m_values.isEmpty(); }
    QVariant value(const QString &key, const QVariant &defaultValue = QVariant()) const;
    QString stringValue(const QString &key) const;
    QUrl urlValue(const QString &key) const;
    int intValue(const QString &key, bool *ok = nullptr) const;
    float floatValue(const QString &key, bool *ok = nullptr) const;
    void setValue(const QString &key, const QVariant &value);
    bool contains(const QString &key, bool *ok = nullptr) const;

private:
    bool openResolved(const QString &resolvedPath);
    bool write() const;

    bool m_open = false;
    QHash<QString, QVariant> m_values;
    QString m_path;
    QString m_resolvedPath;
    QString m_error;
};
