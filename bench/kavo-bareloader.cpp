// The peer of the start-up benchmark: the least a program on the build's engine does to show a
// page, the engine's view alone (no server, splash, window or bridge of Kavo). It goes through
// WebView so the same harness builds with either engine.
// Prints "BARE loaded <ms since the epoch>" when the page has loaded, then exits.
#include "browser/webview.h"

#include <QApplication>
#include <QDateTime>
#include <QUrl>

#include <cstdio>
#include <memory>

int main(int argc, char **argv)
{
    WebView::prepareProcess();
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: kavo-bareloader URL\n");
        return 2;
    }
    std::unique_ptr<WebView> view(WebView::create());
    QObject::connect(view.get(), &WebView::loadFinished, &app, [](bool ok) {
        std::printf("BARE loaded %lld %s\n", static_cast<long long>(QDateTime::currentMSecsSinceEpoch()),
                    ok ? "ok" : "failed");
        std::fflush(stdout);
        QCoreApplication::exit(ok ? 0 : 1);
    });
    view->resize(1024, 700);
    view->show();
    view->load(QUrl(QString::fromLocal8Bit(argv[1])));
    return app.exec();
}
