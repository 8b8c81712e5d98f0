#include "inivariants.h"

#include <QSettings>
#include <QStringList>
#include <QTemporaryFile>

namespace IniVariants {

namespace {
// An element the checks let through, as the settings reader would give it.
QVariant plainElement(const QString &element)
{
    if (element.startsWith(QLatin1String("@@")))
        return element.mid(1);
    if (element == QLatin1String("@Invalid()"))
        return QVariant();
    if (element.startsWith(QLatin1String("@ByteArray(")) && element.endsWith(QLatin1Char(')')))
        return element.mid(11, element.size() - 12).toLatin1();
    return element;
}
} // namespace

bool read(const QByteArray &raw, QTemporaryFile &copy, const char *codec, const Accepted &accepted, Values *values)
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
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    if (codec)
        settings.setIniCodec(codec);
#else
    Q_UNUSED(codec); // Qt 6 reads every INI file as UTF-8
#endif
    Values read;
    const QStringList keys = settings.allKeys();
    for (const QString &key : keys) {
        const QVariant value = settings.value(key);
        const bool list = value.userType() == QMetaType::QStringList;
        QStringList elements;
        if (list)
            elements = value.toStringList();
        else if (value.userType() == QMetaType::QString)
            elements << value.toString();
        else
            return false;
        QVariantList decoded;
        bool allTexts = true;
        for (const QString &element : elements) {
            // The reader skips the blanks before an element; here they follow the kept '@'.
            int start = 1;
            while (start < element.size() && element.at(start).isSpace())
                ++start;
            // Inside an element the pairs added after '=' and ',' are still there.
            QString original = element.mid(start);
            original.replace(QLatin1String("=@@"), QLatin1String("="));
            original.replace(QLatin1String(",@@"), QLatin1String(","));
            const bool plain = !original.startsWith(QLatin1Char('@')) || original.startsWith(QLatin1String("@@"))
                || original == QLatin1String("@Invalid()") || original.startsWith(QLatin1String("@ByteArray("));
            if (!plain && !accepted(key, QStringView(original)))
                return false;
            decoded << (plain ? plainElement(original) : QVariant(original));
            allTexts = allTexts && decoded.constLast().userType() == QMetaType::QString;
        }
        if (!list)
            read.insert(key, decoded.value(0));
        else if (allTexts)
            read.insert(key, QVariant(decoded).toStringList());
        else
            read.insert(key, decoded);
    }
    if (values)
        *values = read;
    return true;
}

bool decodesVariant(QStringView element)
{
    return element.startsWith(QLatin1String("@Variant(")) || element.startsWith(QLatin1String("@DateTime("));
}

void useUtf8(QSettings &settings)
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    settings.setIniCodec("UTF-8");
#else
    Q_UNUSED(settings);
#endif
}

} // namespace IniVariants
