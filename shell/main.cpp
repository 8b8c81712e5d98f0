#include "shell/browserapplication.h"
#include "core/startup.h"
#include "browser/webview.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    ignoreLostOutput();
    prepareLibraryPaths();
    WebView::prepareProcess();
    auto *app = new BrowserApplication(argc, argv);
    // A failed start ends at once: no event loop, and the application object is not destroyed.
    if (!app->init()) {
        std::fflush(nullptr);
        std::_Exit(app->failedStartExitCode());
    }
    const int result = app->exec();
    delete app;
    return result;
}
