#include "pageevent.h"

#include <QStringList>

namespace PageEvent {

QString escapeScriptString(const QString &value)
{
    QString out;
    out.reserve(value.size() + 8);
    for (int i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        switch (c.unicode()) {
        case '\'':
            out += QLatin1String("\\'");
            break;
        case '"':
            out += QLatin1String("\\\"");
            break;
        case '\\':
            out += QLatin1String("\\\\");
            break;
        case '\n':
            out += QLatin1String("\\n");
            break;
        case '\r':
            out += QLatin1String("\\r");
            break;
        case '\t':
            out += QLatin1String("\\t");
            break;
        case 0x2028:
            out += QLatin1String("\\u2028");
            break;
        case 0x2029:
            out += QLatin1String("\\u2029");
            break;
        case '/':
            // "</script>" inside an inline script would end it.
            out += (i > 0 && value.at(i - 1) == QLatin1Char('<')) ? QLatin1String("\\/") : QLatin1String("/");
            break;
        default:
            if (c.unicode() < 0x20)
                out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    return out;
}

QString compose(const QString &scriptTemplate, const QStringList &values)
{
    // One pass, so a value that itself holds "%2" is never substituted again.
    QString script;
    script.reserve(scriptTemplate.size());
    for (int i = 0; i < scriptTemplate.size(); ++i) {
        const QChar c = scriptTemplate.at(i);
        if (c == QLatin1Char('%') && i + 1 < scriptTemplate.size() && scriptTemplate.at(i + 1).isDigit()) {
            const int index = scriptTemplate.at(i + 1).digitValue();
            if (index >= 1 && index <= values.size()) {
                script += escapeScriptString(values.at(index - 1));
                ++i;
                continue;
            }
        }
        script += c;
    }
    return script;
}

} // namespace PageEvent
