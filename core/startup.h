#pragma once

// Set-up shared by both programs' entries.

// "qt.conf" beside the program points Qt's plug-in path at the program's folder; the system's
// own plug-ins (platforms, SQL drivers) must stay reachable as well.
void prepareLibraryPaths();
// 8-bit text, INI files and logs are UTF-8, whatever the process locale says.
void installSystemCodec();
