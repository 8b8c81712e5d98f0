#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

// A configuration record with a window size, loaded from and saved to an INI file.
class Config : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int Width READ width)
    Q_PROPERTY(int Height READ height)
public:
    Config();
    Config(int width, int height);

    virtual bool load(const QString &path) = 0;
    virtual bool save(const QString &path) = 0;

    int width() const { return m_width; }
    int height() const { return m_height; }
    void setSize(int width, int height);

protected:
    int m_width;
    int m_height;
};

// The application's identity from "qt.conf".
class AppConfig : public Config
{
    Q_OBJECT
    Q_PROPERTY(QString Name READ name)
    Q_PROPERTY(QString Icon READ icon)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Mode READ mode)
    Q_PROPERTY(QString Version READ version)
    Q_PROPERTY(QUrl Url READ url)
public:
    AppConfig();
    AppConfig(const QString &name, const QString &icon, const QString &title, const QString &mode,
              const QString &version, const QString &splash, int width, int height, const QUrl &url);
    AppConfig(const AppConfig &other);

    void set(const QString &name, const QString &icon, const QString &title, const QString &mode,
             const QString &version, const QString &splash, int width, int height, const QUrl &url);

    bool load(const QString &path) override;
    bool save(const QString &path) override;
    // Why the last load failed, naming the file, the key and what is wrong with it, for the log
    // (the user's box says only that the configuration could not be read); empty after a success.
    QString errorString() const { return m_error; }

    QString name() const { return m_name; }
    QString icon() const { return m_icon; }
    QString title() const { return m_title; }
    // What the user knows the application as: its Title, or its App name without one.
    QString displayName() const { return m_title.isEmpty() ? m_name : m_title; }
    QString mode() const { return m_mode; }
    QString version() const { return m_version; }
    QString splash() const { return m_splash; }
    QUrl url() const { return m_url; }
    // Base64 of the raw Ed25519 key that update packages must be signed with; empty when
    // packages are taken unsigned.
    QString updatePublicKey() const { return m_updatePublicKey; }
    void setUpdatePublicKey(const QString &key) { m_updatePublicKey = key; }
    bool isAppMode() const;

    // Optional keys. [System] Port: the local server's port; [System] ServerAddress: the address
    // it listens on; application group TrustedOrigins: origins besides the local server's and
    // the Url's whose pages get the bridge, separated by blanks. A present but unusable Port or
    // ServerAddress fails the load.
    static const quint16 DefaultPort = 58899;
    quint16 port() const { return m_port; }
    QString serverAddress() const { return m_serverAddress; }
    QStringList trustedOrigins() const { return m_trustedOrigins; }
    void setServer(const QString &address, quint16 port);
    void setTrustedOrigins(const QStringList &origins) { m_trustedOrigins = origins; }

private:
    QString m_name;
    QString m_icon;
    QString m_title;
    QString m_mode;
    QString m_version;
    QString m_splash;
    QUrl m_url;
    quint16 m_port = DefaultPort;
    QString m_serverAddress = QStringLiteral("127.0.0.1");
    QStringList m_trustedOrigins;
    QString m_updatePublicKey;
    QString m_error;
};

// A key of the application's section of the INI file at path, trimmed (the updater reads the
// installation's qt.conf this way, without loading the whole record); empty when missing.
QString readAppValue(const QString &path, const QString &app, const QString &key);
// Its "UpdatePublicKey".
QString readUpdatePublicKey(const QString &path, const QString &app);

// The window size the user left behind, kept per application in "data/user.conf".
class UserConfig : public Config
{
    Q_OBJECT
public:
    UserConfig();
    UserConfig(const QString &name, int width, int height);

    bool load(const QString &path) override;
    bool save(const QString &path) override;

    QString name() const { return m_name; }

private:
    QString m_name;
};

// The process-wide application record, filled once at start-up.
AppConfig &appConfig();
bool isAppMode();
