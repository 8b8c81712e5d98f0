#pragma once

#include <QString>

#include <functional>

class IMInterface;
class NetworkAccessManager;

// What the application object hands down to every window and page: the web root, the IM
// plug-in and the one network access manager. Filled at start-up by the application.
namespace BrowserContext {

QString webRoot();
void setWebRoot(const QString &webRoot);

IMInterface *imInterface();
void setImInterface(IMInterface *imInterface);

// Whether a hidden window can come back through a tray icon: the application installs the
// probe in application mode; without one (or without a tray on the desktop) the answer is no.
bool canHideToTray();
void setTrayProbe(const std::function<bool()> &probe);

// Created on first use together with its cookie jar; the same object afterwards.
NetworkAccessManager *networkAccessManager();
// Deletes the shared manager (and its jar) when it was created.
void releaseNetworkAccessManager();

} // namespace BrowserContext
