// Runs the client-database benchmark from page script: a real page with KavoFactory published
// makes a ClientDb and times parameterised inserts in one transaction, then selects.
// Usage: kavo-clientdb DB_FILE INSERTS SELECTS
#include "bridge/clientdb.h"
#include "browser/host.h"
#include "bridge/kavofactory.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTextStream>
#include <QWebFrame>
#include <QWebPage>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4) {
        QTextStream(stderr) << "usage: kavo-clientdb DB_FILE INSERTS SELECTS\n";
        return 2;
    }
    Host::instance().registerCreator(QStringLiteral("ClientDb"), [] { return new ClientDb; });
    QWebPage page;
    KavoFactory factory;
    page.mainFrame()->addToJavaScriptWindowObject(QStringLiteral("KavoFactory"), &factory);
    QWebFrame *frame = page.mainFrame();
    frame->evaluateJavaScript(
        QStringLiteral("var db = KavoFactory.createObject('ClientDb'); db.set_DbName('%1');"
                       "db.executeNonQuerySQL('create table bench (id integer primary key, name text, n integer)');")
            .arg(args.at(1)));

    QElapsedTimer timer;
    timer.start();
    const QVariant inserted = frame->evaluateJavaScript(
        QStringLiteral("db.beginTransaction(); var fields = ['id', 'name', 'n']; var ok = 0;"
                       "for (var i = 1; i <= %1; ++i)"
                       "  ok += db.insert('bench', fields, {id: i, name: 'name ' + i, n: i % 97});"
                       "db.commitTransaction(); ok")
            .arg(args.at(2).toInt()));
    const qint64 insertMs = timer.restart();
    const QVariant selected = frame->evaluateJavaScript(
        QStringLiteral("var found = 0; for (var i = 1; i <= %1; ++i)"
                       "  found += db.select('select name, n from bench where id = @id', {id: i * 7}).length;"
                       "found")
            .arg(args.at(3).toInt()));
    const qint64 selectMs = timer.elapsed();
    QTextStream(stdout) << "kavo-clientdb: " << inserted.toInt() << " inserts in " << insertMs << " ms, "
                        << selected.toInt() << " rows selected in " << selectMs << " ms\n";
    const QString error = frame->evaluateJavaScript(QStringLiteral("db.get_LastError()")).toString();
    if (!error.isEmpty() || inserted.toInt() != args.at(2).toInt() || selected.toInt() == 0) {
        QTextStream(stderr) << "kavo-clientdb: failed " << error << "\n";
        return 1;
    }
    return 0;
}
