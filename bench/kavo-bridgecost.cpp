// Runs the bridge-cost page (bench/bridge/bridge.html) in a view of the build's engine with the
// page's bridge objects published, and prints the figures the page measured, one "name value" a
// line. The page times calls with BenchClock, a bridge object whose one method reads this
// process's monotonic clock: the page's own clock is coarsened (0.1 ms on QtWebEngine, 1 ms on
// QtWebKit), too coarse for a call of a few microseconds.
// Usage: kavo-bridgecost PAGE DB_FILE
#include "benchpage.h"

#include "bridge/clientdb.h"
#include "bridge/kavodevice.h"
#include "bridge/kavofactory.h"
#include "browser/browsercontext.h"
#include "browser/host.h"
#include "browser/webview.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <memory>

namespace {
// The page stands for one of the application's own, which alone gets the bridge.
const char PageOrigin[] = "http://127.0.0.1";

class BenchClock : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(BenchClock)
public:
    BenchClock() { m_clock.start(); }

public slots:
    // Milliseconds since the harness started, to the nanosecond.
    double now() const { return double(m_clock.nsecsElapsed()) / 1e6; }

private:
    QElapsedTimer m_clock;
};
} // namespace

int main(int argc, char **argv)
{
    WebView::prepareProcess();
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        QTextStream(stderr) << "usage: kavo-bridgecost PAGE DB_FILE\n";
        return 2;
    }
    QFile page(args.at(1));
    QFile database(args.at(2));
    if (!page.open(QIODevice::ReadOnly) || !database.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        QTextStream(stderr) << "kavo-bridgecost: cannot read the page or write the database\n";
        return 1;
    }
    database.close();

    Host::instance().registerCreator(QStringLiteral("ClientDb"), [] { return new ClientDb; });
    BrowserContext::setTrustedOrigins({QLatin1String(PageOrigin)});
    std::unique_ptr<WebView> view(WebView::create());
    KavoFactory factory;
    KavoDevice device(nullptr);
    BenchClock clock;
    QObject::connect(view.get(), &WebView::documentStarting, &factory, [&] {
        view->publishObject(QStringLiteral("KavoFactory"), &factory);
        view->publishObject(QStringLiteral("KavoDevice"), &device);
        view->publishObject(QStringLiteral("BenchClock"), &clock);
    });
    view->resize(1024, 700);
    view->show();
    const QString html = QString::fromUtf8(page.readAll())
                             .replace(QLatin1String("@DB_FILE@"), QFileInfo(database).absoluteFilePath());
    if (!BenchPage::loadHtml(view.get(), html, QUrl(QLatin1String(PageOrigin) + QLatin1Char('/')))) {
        QTextStream(stderr) << "kavo-bridgecost: the page did not load\n";
        return 1;
    }
    // The page measures after its load event; its figures appear as one JSON text.
    const QString figures = BenchPage::textWhenSet(view.get(), QStringLiteral("window.bridgeFigures"), 300000);
    const QJsonObject object = QJsonDocument::fromJson(figures.toUtf8()).object();
    QTextStream out(stdout);
    out << "engine " << WebView::engineName() << "\n";
    for (auto it = object.begin(); it != object.end(); ++it)
        out << it.key() << ' ' << it.value().toVariant().toString() << "\n";
    return object.isEmpty() || object.contains(QLatin1String("error")) ? 1 : 0;
}

#include "kavo-bridgecost.moc"
