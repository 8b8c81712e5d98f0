#include "config.h"

#include "configparser.h"

#include "core/fileutils.h"

#include <QSettings>

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
    m_updatePublicKey = other.m_updatePublicKey;
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
    ConfigParser parser(path);
    if (!parser.open())
        return false;
    m_name = parser.stringValue(QStringLiteral("System/App"));
    if (m_name.isEmpty())
        return false;
    const QString group = m_name + QLatin1Char('/');
    m_version = parser.stringValue(group + QStringLiteral("Version"));
    m_title = parser.stringValue(group + QStringLiteral("Title"));
    m_mode = parser.stringValue(QStringLiteral("System/Mode"));
    m_icon = parser.stringValue(group + QStringLiteral("Icon"));
    m_splash = parser.stringValue(group + QStringLiteral("Splash"));
    m_width = parser.intValue(group + QStringLiteral("Width"));
    m_height = parser.intValue(group + QStringLiteral("Height"));
    m_url = parser.urlValue(group + QStringLiteral("Url"));
    m_updatePublicKey = parser.stringValue(group + QStringLiteral("UpdatePublicKey")).trimmed();
    return !m_version.isEmpty() && !m_name.isEmpty() && m_url.isValid();
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
    QSettings settings(absolutePath(path), QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    settings.setValue(QStringLiteral("Paths/Plugins"), QStringLiteral("."));
    settings.setValue(QStringLiteral("System/Mode"), m_mode);
    settings.setValue(QStringLiteral("System/App"), m_name);
    writeGroup([&settings](const QString &key, const QVariant &value) { settings.setValue(key, value); }, true);
    return true;
}

QString readUpdatePublicKey(const QString &path, const QString &app)
{
    ConfigParser parser(path);
    if (app.isEmpty() || !parser.open())
        return QString();
    return parser.stringValue(app + QStringLiteral("/UpdatePublicKey")).trimmed();
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
    QSettings settings(absolutePath(path), QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
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
