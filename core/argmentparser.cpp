#include "argmentparser.h"

ArgumentTable ArgmentParser::parse(const QStringList &words)
{
    ArgumentTable table;
    QString current;
    bool haveSwitch = false;
    QStringList values;
    for (const QString &word : words) {
        if (word.startsWith(QLatin1Char('-'))) {
            if (haveSwitch)
                table.insert(current, values);
            current = word;
            haveSwitch = true;
            values.clear();
        } else {
            values.append(word);
        }
    }
    if (haveSwitch)
        table.insert(current, values);
    return table;
}

ArgumentTable ArgmentParser::parse(int argc, char **argv)
{
    QStringList words;
    for (int i = 1; i < argc; ++i)
        words.append(QString::fromUtf8(argv[i]));
    return parse(words);
}

ArgumentTable ArgmentParser::parse(const QString &commaSeparated)
{
    return parse(commaSeparated.split(QLatin1Char(',')));
}
