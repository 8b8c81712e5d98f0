// The peer of the start-up benchmark: the least a QtWebKit program does to show a page.
// Prints "BARE loaded <ms since the epoch>" when the page has loaded, then exits.
#include <QApplication>
#include <QDateTime>
#include <QUrl>
#include <QWebView>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: kavo-bareloader URL\n");
        return 2;
    }
    QWebView view;
    QObject::connect(&view, &QWebView::loadFinished, &app, [](bool ok) {
        std::printf("BARE loaded %lld %s\n", static_cast<long long>(QDateTime::currentMSecsSinceEpoch()),
                    ok ? "ok" : "failed");
        std::fflush(stdout);
        QCoreApplication::exit(ok ? 0 : 1);
    });
    view.resize(1024, 700);
    view.show();
    view.load(QUrl(QString::fromLocal8Bit(argv[1])));
    return app.exec();
}
