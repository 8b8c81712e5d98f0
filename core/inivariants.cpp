#include "inivariants.h"

#include <QSettings>
#include <QStringList>
#include <QTemporaryFile>
#include <QVariant>

namespace IniVariants {

bool onlyAccepted(const QByteArray &raw, QTemporaryFile &copy,
                  const std::function<bool(const QString &key, const QStringRef &element)> &accepted)
{
    QByteArray inert;
    inert.reserve(raw.size() + raw.size() / 4);
    for (const char c : raw) {
        inert += c;
        if (c == '=' || c == ',')
            inert += "@@";
    }
    if (!copy.open() || copy.write(inert) != inert.size() || !copy.flush())
        return false;
    QSettings settings(copy.fileName(), QSettings::IniFormat);
    const QStringList keys = settings.allKeys();
    for (const QString &key : keys) {
        const QVariant value = settings.value(key);
        QStringList elements;
        if (value.userType() == QMetaType::QStringList)
            elements = value.toStringList();
        else if (value.userType() == QMetaType::QString)
            elements << value.toString();
        else
            return false;
        for (const QString &element : elements) {
            // The reader skips the blanks before an element; here they follow the kept '@'.
            int start = 1;
            while (start < element.size() && element.at(start).isSpace())
                ++start;
            const QStringRef original = element.midRef(start);
            if (!original.startsWith(QLatin1Char('@')) || original.startsWith(QLatin1String("@@"))
                || original == QLatin1String("@Invalid()"))
                continue;
            if (!accepted(key, original))
                return false;
        }
    }
    return true;
}

bool decodesVariant(const QStringRef &element)
{
    return element.startsWith(QLatin1String("@Variant(")) || element.startsWith(QLatin1String("@DateTime("));
}

} // namespace IniVariants
