// The one file that names an engine: the build defines which (KAVO_ENGINE in CMake).
#include "webview.h"

#if defined(KAVO_ENGINE_WEBKIT)
#include "browser/webkit/webkitview.h"
using EngineView = WebKitView;
#else
#include "browser/webengine/webengineview.h"
using EngineView = WebEngineView;
#endif

WebView *WebView::create(QWidget *parent)
{
    return new EngineView(parent);
}

QString WebView::engineName()
{
    return EngineView::name();
}

void WebView::prepareProcess()
{
    EngineView::prepareProcess();
}

void WebView::clearCaches()
{
    EngineView::clearCaches();
}

bool WebView::isPrivateBrowsing()
{
    return EngineView::isPrivateBrowsing();
}
