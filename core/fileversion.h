#pragma once

#include <QString>

// The four-part file version stamped into an executable's ".kavo_version" section, read from
// the file on disk: "5.0.0.0" for a stamped file, "" for any file without a readable stamp.
QString fileVersion(const QString &path);
