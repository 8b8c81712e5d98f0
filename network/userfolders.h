#pragma once

#include <QString>

// What the program gathers for its user while pages run, the cookies and the web cache, lives
// in the user's data and cache folders, one folder per application: two applications on one
// desktop never share a login.
namespace UserFolders {
// The application's name from its configuration. A name that is not one plain folder name
// (empty, ".", "..", with a slash) keeps the folders of the program itself.
void setApplication(const QString &name);
QString data();
QString cache();
} // namespace UserFolders
