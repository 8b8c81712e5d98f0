#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class IMInterface;
class NetworkAccessManager;
class QUrl;

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

// Trust: the bridge objects, the page globals and every page event reach a document only when
// its origin (scheme, host and port) is trusted. Until set, the local server's two origins at
// the default port are. Local files are no origin of their own: a "file:" entry trusts the
// files in its folder and below (the folder itself when it names one), never the whole disk.
void setTrustedOrigins(const QStringList &origins);
QStringList trustedOrigins();
// "scheme://host:port" in lower case with the scheme's default port filled in, an IPv6 host in
// brackets; "file://" for local files; empty when the URL has no usable origin.
QString originOf(const QUrl &url);
QString originOf(const QString &scheme, const QString &host, int port);
bool isTrustedOrigin(const QUrl &url);
// An origin as originOf gives it (an engine's report of a document's origin); never for local
// files, whose trust needs their path.
bool isTrustedOriginName(const QString &origin);
// A document of origin (as the engine reports it) whose address is url: a trusted origin, or a
// local file below a trusted folder.
bool isTrustedDocument(const QString &origin, const QUrl &url);
// The origins of the local server (serverOrigins, those of the addresses it holds), the start
// URL's and the listed. A start URL or listed origin on the server's port at a loopback host is
// left out unless the server holds it: anybody could serve it.
QStringList applicationOrigins(quint16 port, const QStringList &serverOrigins, const QUrl &startUrl,
                               const QStringList &listed);
// Whether host is a loopback address or a name browsers resolve to loopback ("localhost").
bool isLoopbackHost(const QString &host);

} // namespace BrowserContext
