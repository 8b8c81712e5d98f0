#include "config.h"

#include "configparser.h"
#include "inivariants.h"

#include "core/fileutils.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>

#include <arpa/inet.h>

namespace {
// A numeric IPv4 or IPv6 address, the only form a listening address takes.
bool isNumericAddress(const QString &text)
{
    const QByteArray bytes = text.toLatin1();
    unsigned char buffer[sizeof(struct in6_addr)];
    return inet_pton(AF_INET, bytes.constData(), buffer) == 1 || inet_pton(AF_INET6, bytes.constData(), buffer) == 1;
}

// A save writes a new file only where there is none. One that is there but the parser refused
// (a value Qt's variant reader would decode, or far too large) is the user's, and stays as it is:
// the settings writer would read it whole, and rewrite it, first.
bool mayCreate(const QString &path)
{
    const QFileInfo file(absolutePath(path));
    if (!file.exists() && !file.isSymLink())
        return true;
    qWarning("Config: not writing %s, which cannot be read", qPrintable(file.filePath()));
    return false;
}
} // namespace

Config::Config()
    : m_width(400)
    , m_height(728)
{
}

Config::Config(int width, int height)
    : m_width(width)
    , m_height(height)
{
}

void Config::setSize(int width, int height)
{
    m_width = width;
    m_height = height;
}

AppConfig::AppConfig()
    : m_mode(QStringLiteral("app"))
{
}

AppConfig::AppConfig(const QString &name, const QString &icon, const QString &title, const QString &mode,
                     const QString &version, const QString &splash, int width, int height, const QUrl &url)
{
    set(name, icon, title, mode, version, splash, width, height, url);
}

AppConfig::AppConfig(const AppConfig &other)
    : Config(other.m_width, other.m_height)
{
    set(other.m_name, other.m_icon, other.m_title, other.m_mode, other.m_version, other.m_splash, other.m_width,
        other.m_height, other.m_url);
    setServer(other.m_serverAddress, other.m_port);
    m_trustedOrigins = other.m_trustedOrigins;
    m_updatePublicKey = other.m_updatePublicKey;
}

void AppConfig::setServer(const QString &address, quint16 port)
{
    m_serverAddress = address;
    m_port = port;
}

void AppConfig::set(const QString &name, const QString &icon, const QString &title, const QString &mode,
                    const QString &version, const QString &splash, int width, int height, const QUrl &url)
{
    m_name = name;
    m_icon = icon;
    m_title = title;
    m_mode = mode;
    m_version = version;
    m_splash = splash;
    m_width = width;
    m_height = height;
    m_url = url;
}

bool AppConfig::isAppMode() const
{
    return m_mode.compare(QLatin1String("app"), Qt::CaseInsensitive) == 0;
}

bool AppConfig::load(const QString &path)
{
    m_error.clear();
    ConfigParser parser(path);
    if (!parser.open()) {
        m_error = parser.errorString();
        return false;
    }
    QStringList problems;
    m_name = parser.stringValue(QStringLiteral("System/App"));
    if (m_name.isEmpty()) {
        m_error = absolutePath(path)
            + (parser.isEmpty() ? QStringLiteral(": holds no settings (is it an INI file?)")
                                : QStringLiteral(": [System] App is missing or empty"));
        return false;
    }
    const QString group = m_name + QLatin1Char('/');
    const QString section = QLatin1Char('[') + m_name + QStringLiteral("] ");
    m_version = parser.stringValue(group + QStringLiteral("Version"));
    if (m_version.isEmpty())
        problems << section + QStringLiteral("Version is missing or empty");
    m_title = parser.stringValue(group + QStringLiteral("Title"));
    m_mode = parser.stringValue(QStringLiteral("System/Mode"));
    m_icon = parser.stringValue(group + QStringLiteral("Icon"));
    m_splash = parser.stringValue(group + QStringLiteral("Splash"));
    m_width = parser.intValue(group + QStringLiteral("Width"));
    m_height = parser.intValue(group + QStringLiteral("Height"));
    m_url = parser.urlValue(group + QStringLiteral("Url"));
    if (!m_url.isValid()) {
        const QString url = parser.stringValue(group + QStringLiteral("Url"));
        problems << (url.isEmpty() ? section + QStringLiteral("Url is missing or empty")
                                   : section + QStringLiteral("Url=") + url + QStringLiteral(" is no valid URL (")
                                         + m_url.errorString() + QLatin1Char(')'));
    }

    m_port = DefaultPort;
    const QString port = parser.stringValue(QStringLiteral("System/Port")).trimmed();
    if (!port.isEmpty()) {
        bool number = false;
        const uint value = port.toUInt(&number);
        if (number && value > 0 && value <= 65535)
            m_port = quint16(value);
        else
            problems << QStringLiteral("[System] Port=") + port + QStringLiteral(" is no port number (1 to 65535)");
    }
    m_serverAddress = parser.stringValue(QStringLiteral("System/ServerAddress")).trimmed();
    if (m_serverAddress.isEmpty())
        m_serverAddress = QStringLiteral("127.0.0.1");
    else if (!isNumericAddress(m_serverAddress))
        problems << QStringLiteral("[System] ServerAddress=") + m_serverAddress
                + QStringLiteral(" is no numeric IPv4 or IPv6 address");
    // A value with commas reads as a list; blanks and commas both separate.
    const QVariant origins = parser.value(group + QStringLiteral("TrustedOrigins"));
    const QString originText = origins.userType() == QMetaType::QStringList ? origins.toStringList().join(QLatin1Char(' '))
                                                                      : origins.toString();
    m_trustedOrigins = originText.split(QRegularExpression(QStringLiteral("[\\s,]+")), Qt::SkipEmptyParts);
    m_updatePublicKey = parser.stringValue(group + QStringLiteral("UpdatePublicKey")).trimmed();

    if (!problems.isEmpty())
        m_error = absolutePath(path) + QStringLiteral(": ") + problems.join(QStringLiteral("; "));
    return problems.isEmpty();
}

bool AppConfig::save(const QString &path)
{
    if (m_name.isEmpty())
        return false;
    // Both branches write the application group in the same key order.
    const auto writeGroup = [this](auto &&store, bool alwaysSplash) {
        const QString group = m_name + QLatin1Char('/');
        store(group + QStringLiteral("Icon"), m_icon);
        store(group + QStringLiteral("Url"), m_url.toString());
        store(group + QStringLiteral("Version"), m_version);
        store(group + QStringLiteral("Title"), m_title);
        store(group + QStringLiteral("Width"), m_width);
        store(group + QStringLiteral("Height"), m_height);
        if (alwaysSplash || !m_splash.isEmpty())
            store(group + QStringLiteral("Splash"), m_splash);
    };
    ConfigParser parser(path);
    if (parser.open()) {
        writeGroup([&parser](const QString &key, const QVariant &value) { parser.setValue(key, value); }, false);
        return true;
    }
    if (!mayCreate(path))
        return false;
    QSettings settings(absolutePath(path), QSettings::IniFormat);
    IniVariants::useUtf8(settings);
    settings.setValue(QStringLiteral("Paths/Plugins"), QStringLiteral("."));
    settings.setValue(QStringLiteral("System/Mode"), m_mode);
    settings.setValue(QStringLiteral("System/App"), m_name);
    writeGroup([&settings](const QString &key, const QVariant &value) { settings.setValue(key, value); }, true);
    return true;
}

QString readAppValue(const QString &path, const QString &app, const QString &key)
{
    ConfigParser parser(path);
    if (app.isEmpty() || !parser.open())
        return QString();
    return parser.stringValue(app + QLatin1Char('/') + key).trimmed();
}

QString readUpdatePublicKey(const QString &path, const QString &app)
{
    return readAppValue(path, app, QStringLiteral("UpdatePublicKey"));
}

UserConfig::UserConfig() = default;

UserConfig::UserConfig(const QString &name, int width, int height)
    : Config(width, height)
    , m_name(name)
{
}

bool UserConfig::load(const QString &path)
{
    ConfigParser parser(path);
    if (!parser.open() || m_name.isEmpty())
        return false;
    m_width = parser.intValue(m_name + QStringLiteral("/Width"));
    m_height = parser.intValue(m_name + QStringLiteral("/Height"));
    return true;
}

bool UserConfig::save(const QString &path)
{
    if (m_name.isEmpty())
        return false;
    ConfigParser parser(path);
    if (parser.open()) {
        parser.setValue(m_name + QStringLiteral("/Width"), m_width);
        parser.setValue(m_name + QStringLiteral("/Height"), m_height);
        return true;
    }
    if (!mayCreate(path))
        return false;
    QSettings settings(absolutePath(path), QSettings::IniFormat);
    IniVariants::useUtf8(settings);
    settings.setValue(m_name + QStringLiteral("/Width"), m_width);
    settings.setValue(m_name + QStringLiteral("/Height"), m_height);
    return true;
}

AppConfig &appConfig()
{
    static AppConfig config;
    return config;
}

bool isAppMode()
{
    return appConfig().isAppMode();
}
