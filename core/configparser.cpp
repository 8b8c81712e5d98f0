#include "configparser.h"

#include "core/fileutils.h"
#include "core/inivariants.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryFile>

#include <cstdio>

namespace {
// Far beyond any configuration; a larger file is not one.
constexpr qint64 maxFileSize = 4 * 1024 * 1024;
} // namespace

ConfigParser::ConfigParser(const QString &path)
    : m_path(path)
{
}

ConfigParser::~ConfigParser() = default;

bool ConfigParser::open()
{
    if (m_path.isEmpty()) {
        m_error = QStringLiteral("no file named");
        return false;
    }
    return openResolved(absolutePath(m_path));
}

bool ConfigParser::openResolved(const QString &resolvedPath)
{
    if (m_open)
        return true;
    const auto fail = [this, &resolvedPath](const QString &reason) {
        m_error = resolvedPath + QStringLiteral(": ") + reason;
        return false;
    };
    if (!QFileInfo::exists(resolvedPath))
        return fail(QStringLiteral("no such file"));
    QFile file(resolvedPath);
    QByteArray raw;
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot be read (") + file.errorString() + QLatin1Char(')'));
    if (!readAtMost(file, maxFileSize, &raw))
        return fail(QStringLiteral("larger than %1 MiB, no settings file").arg(maxFileSize / (1024 * 1024)));
    // These files hold texts and numbers only: one holding a value that Qt's variant reader would
    // decode is not read at all.
    QTemporaryFile inert;
    IniVariants::Values values;
    const bool plain = IniVariants::read(raw, inert, "UTF-8",
                                         [](const QString &, QStringView element) {
                                             return !IniVariants::decodesVariant(element);
                                         },
                                         &values);
    if (!plain) {
        qWarning("ConfigParser: %s holds a value of a type that is not read", qPrintable(resolvedPath));
        return fail(QStringLiteral("holds a value of a type that is not read (\"@Variant\" and the like)"));
    }
    m_values = values;
    m_resolvedPath = resolvedPath;
    m_error.clear();
    m_open = true;
    return true;
}

QVariant ConfigParser::value(const QString &key, const QVariant &defaultValue) const
{
    return m_values.value(key, defaultValue);
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
    if (!m_open)
        return;
    m_values.insert(key, value);
    if (!write())
        qWarning("ConfigParser: cannot write %s", qPrintable(m_resolvedPath));
}

// Every value, written by Qt's settings writer into a new file beside the old one, which it then
// replaces in one rename: a failure or a kill leaves the old file whole.
bool ConfigParser::write() const
{
    // A link stays a link: the file it names is the one replaced.
    const QFileInfo link(m_resolvedPath);
    const QFileInfo target(link.isSymLink() ? link.canonicalFilePath() : link.absoluteFilePath());
    if (target.filePath().isEmpty())
        return false;
    QTemporaryFile fresh(target.absoluteFilePath() + QStringLiteral(".XXXXXX"));
    if (!fresh.open())
        return false;
    fresh.close();
    {
        QSettings settings(fresh.fileName(), QSettings::IniFormat);
        IniVariants::useUtf8(settings);
        for (auto it = m_values.constBegin(); it != m_values.constEnd(); ++it)
            settings.setValue(it.key(), it.value());
        settings.sync();
        if (settings.status() != QSettings::NoError)
            return false;
    }
    QFile::setPermissions(fresh.fileName(), QFile::permissions(target.absoluteFilePath()));
    if (::rename(QFile::encodeName(fresh.fileName()).constData(),
                 QFile::encodeName(target.absoluteFilePath()).constData()) != 0)
        return false;
    fresh.setAutoRemove(false);
    return true;
}

bool ConfigParser::contains(const QString &key, bool *ok) const
{
    if (ok)
        *ok = m_open;
    return m_values.contains(key);
}
