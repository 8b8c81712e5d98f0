#include "versions.h"

#include <QStringList>

namespace {

bool isDecimal(const QString &part)
{
    if (part.isEmpty())
        return false;
    for (const QChar c : part) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

// Digits compared as numbers of any length, so no part can overflow.
int compareDecimal(QString a, QString b)
{
    while (a.size() > 1 && a.startsWith(QLatin1Char('0')))
        a.remove(0, 1);
    while (b.size() > 1 && b.startsWith(QLatin1Char('0')))
        b.remove(0, 1);
    if (a.size() != b.size())
        return a.size() > b.size() ? 1 : -1;
    const int c = a.compare(b);
    return c > 0 ? 1 : (c < 0 ? -1 : 0);
}

} // namespace

int compareVersions(const QString &a, const QString &b)
{
    if (a.isEmpty() || b.isEmpty())
        return -2;
    const QStringList left = a.split(QLatin1Char('.'));
    const QStringList right = b.split(QLatin1Char('.'));
    if (left.size() != right.size())
        return -2;
    for (int i = 0; i < left.size(); ++i) {
        if (!isDecimal(left.at(i)) || !isDecimal(right.at(i)))
            return -2;
    }
    for (int i = 0; i < left.size(); ++i) {
        if (const int c = compareDecimal(left.at(i), right.at(i)))
            return c;
    }
    return 0;
}

bool isVersionText(const QString &version)
{
    return compareVersions(version, version) == 0;
}
