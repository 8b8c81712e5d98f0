#pragma once

#include <QString>

class IMInterface;

// The folder searched for plug-ins: the program's folder, one up when that is named
// "kavo.v5", then two up when the folder reached is named "debug" or "release".
QString pluginSearchDir(const QString &applicationDir);

// Loads every file of the folder whose name begins with "Kavo."; the last one that implements
// the IM interface wins. Files that are not plug-ins change nothing.
IMInterface *loadImPlugins(const QString &folder);
