#pragma once

class QWebEngineProfile;

// The one QtWebEngine profile of the program: named after the application, with its page storage
// (localStorage, IndexedDB) and disk cache in the user's folders of that application (never in the
// served installation folder), its cookies kept equal to the cookie jar's both ways, and the
// bridge script run in every new main-frame document.
namespace WebEngineProfile {
QWebEngineProfile *instance();
} // namespace WebEngineProfile
