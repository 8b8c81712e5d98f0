#pragma once

#include <QString>

// Where an update lives: "data/update/" + application name + "/" + version below the program's
// directory. Both programs form these paths from texts that a page or a command line supplied,
// so every part is checked before it becomes a path.
namespace UpdateArea {

// A single path element: not empty, not "." or "..", no separator or NUL.
bool isSafeName(const QString &name);

// The part of the URL after its last "/"; empty when that is not a safe name.
QString packageFileName(const QString &url);

// "data/update/<app>/<version>" (relative), or empty unless app is a safe name and version
// plain dotted decimal numbers.
QString downloadDir(const QString &app, const QString &version);

// The directory that holds the "data/update" tree: the part of dir before its last
// "/data/update/"; empty when there is none.
QString applicationRoot(const QString &dir);

} // namespace UpdateArea
