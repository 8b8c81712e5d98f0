// Runs the client-database benchmark from page script: a real page with KavoFactory published
// makes a ClientDb and times parameterised inserts in one transaction, then selects.
// Usage: kavo-clientdb DB_FILE INSERTS SELECTS
#include "benchpage.h"

#include "bridge/clientdb.h"
#include "bridge/kavofactory.h"
#include "browser/browsercontext.h"
#include "browser/host.h"
#include "browser/webview.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTextStream>

namespace {
// The page stands for one of the application's own, which alone gets the bridge.
const char PageOrigin[] = "http://127.0.0.1";
} // namespace

int main(int argc, char **argv)
{
    WebView::prepareProcess();
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4) {
        QTextStream(stderr) << "usage: kavo-clientdb DB_FILE INSERTS SELECTS\n";
        return 2;
    }
    Host::instance().registerCreator(QStringLiteral("ClientDb"), [] { return new ClientDb; });
    BrowserContext::setTrustedOrigins({QLatin1String(PageOrigin)});
    std::unique_ptr<WebView> view(WebView::create());
    KavoFactory factory;
    QObject::connect(view.get(), &WebView::documentStarting, &factory,
                     [&] { view->publishObject(QStringLiteral("KavoFactory"), &factory); });
    if (!BenchPage::loadHtml(view.get(), QStringLiteral("<html><body></body></html>"),
                             QUrl(QLatin1String(PageOrigin) + QLatin1Char('/')))) {
        QTextStream(stderr) << "kavo-clientdb: the page did not load\n";
        return 1;
    }
    BenchPage::evaluate(
        view.get(),
        QStringLiteral("var db = KavoFactory.createObject('ClientDb'); db.set_DbName('%1');"
                       "db.executeNonQuerySQL('create table bench (id integer primary key, name text, n integer)');")
            .arg(args.at(1)));

    QElapsedTimer timer;
    timer.start();
    const QVariant inserted = BenchPage::evaluate(
        view.get(), QStringLiteral("db.beginTransaction(); var fields = ['id', 'name', 'n']; var ok = 0;"
                                   "for (var i = 1; i <= %1; ++i)"
                                   "  ok += db.insert('bench', fields, {id: i, name: 'name ' + i, n: i % 97});"
                                   "db.commitTransaction(); ok")
                        .arg(args.at(2).toInt()));
    const qint64 insertMs = timer.restart();
    const QVariant selected = BenchPage::evaluate(
        view.get(), QStringLiteral("var found = 0; for (var i = 1; i <= %1; ++i)"
                                   "  found += db.select('select name, n from bench where id = @id', {id: i * 7}).length;"
                                   "found")
                        .arg(args.at(3).toInt()));
    const qint64 selectMs = timer.elapsed();
    QTextStream(stdout) << "kavo-clientdb: " << WebView::engineName() << ", " << inserted.toInt() << " inserts in "
                        << insertMs << " ms, " << selected.toInt() << " rows selected in " << selectMs << " ms\n";
    const QString error = BenchPage::evaluate(view.get(), QStringLiteral("db.get_LastError()")).toString();
    if (!error.isEmpty() || inserted.toInt() != args.at(2).toInt() || selected.toInt() == 0) {
        QTextStream(stderr) << "kavo-clientdb: failed " << error << "\n";
        return 1;
    }
    return 0;
}
