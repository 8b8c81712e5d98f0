#include "configparser.h"

#include "core/fileutils.h"
#include "core/inivariants.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryFile>

namespace {
// Far beyond any configuration; a larger file is not one.
constexpr qint64 maxFileSize = 4 * 1024 * 1024;
} // namespace

ConfigParser::ConfigParser(const QString &path)
    : m_path(path)
{
}

ConfigParser::~ConfigParser()
{
    delete m_settings;
}

bool ConfigParser::open()
{
    if (m_path.isEmpty())
        return false;
    return openResolved(absolutePath(m_path));
}

bool ConfigParser::openResolved(const QString &resolvedPath)
{
    if (m_settings)
        return true;
    if (!QFileInfo::exists(resolvedPath))
        return false;
    // These files hold texts and numbers only: one holding a value that Qt's variant reader would
    // decode is not read at all, since that reader aborts the program on a hostile count.
    QFile file(resolvedPath);
    if (file.size() > maxFileSize || !file.open(QIODevice::ReadOnly))
        return false;
    QTemporaryFile inert;
    const bool plain = IniVariants::onlyAccepted(file.readAll(), inert, [](const QString &, const QStringRef &element) {
        return !IniVariants::decodesVariant(element);
    });
    if (!plain) {
        qWarning("ConfigParser: %s holds a value of a type that is not read", qPrintable(resolvedPath));
        return false;
    }
    m_settings = new QSettings(resolvedPath, QSettings::IniFormat);
    m_settings->setIniCodec("UTF-8");
    return true;
}

QVariant ConfigParser::value(const QString &key, const QVariant &defaultValue) const
{
    if (!m_settings)
        return defaultValue;
    return m_settings->value(key, defaultValue);
}

QString ConfigParser::stringValue(const QString &key) const
{
    return value(key, QString()).toString();
}

QUrl ConfigParser::urlValue(const QString &key) const
{
    return value(key, QString()).toUrl();
}

int ConfigParser::intValue(const QString &key, bool *ok) const
{
    const QVariant v = value(key);
    if (!v.isValid()) {
        if (ok)
            *ok = false;
        return Missing;
    }
    return v.toInt(ok);
}

float ConfigParser::floatValue(const QString &key, bool *ok) const
{
    const QVariant v = value(key);
    if (!v.isValid()) {
        if (ok)
            *ok = false;
        return float(Missing);
    }
    return v.toFloat(ok);
}

void ConfigParser::setValue(const QString &key, const QVariant &value)
{
    if (!m_settings)
        return;
    m_settings->setValue(key, value);
    m_settings->sync();
}

bool ConfigParser::contains(const QString &key, bool *ok) const
{
    if (ok)
        *ok = m_settings != nullptr;
    return m_settings && m_settings->contains(key);
}
