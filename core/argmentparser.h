#pragma once

#include <QHash>
#include <QObject>
#include <QStringList>

using ArgumentTable = QHash<QString, QStringList>;

// Turns command-line words into a table from switch ("-" and a name, case kept) to the words
// after it. Knows no switch names and checks nothing: meaning is the caller's business.
class ArgmentParser : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ArgmentParser)
public:
    static ArgumentTable parse(const QStringList &words);
    static ArgumentTable parse(int argc, char **argv);
    static ArgumentTable parse(const QString &commaSeparated);
};
