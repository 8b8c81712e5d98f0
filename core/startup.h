#pragma once

#include <QLocale>

// Set-up shared by both programs' entries.

// "qt.conf" beside the program points Qt's plug-in path at the program's folder; the system's
// own plug-ins (platforms, SQL drivers) must stay reachable as well.
void prepareLibraryPaths();
// Whoever started a program may close its end of the output pipes and go (the updater is
// started by the program it ends, the installer by an updater that exits at once): a write
// there then fails instead of killing the process half-way through an installation.
void ignoreLostOutput();
// Qt's own texts (dialog buttons, edit menus) follow the programs' Chinese: the locale's variant
// when the locale is Chinese, Simplified Chinese otherwise, from Debian's qttranslations5-l10n.
// Replaces what an earlier call installed; false when no translation could be loaded.
bool installQtTranslations(const QLocale &locale);
bool installQtTranslations();
// The locale whose Qt translation installQtTranslations(locale) loads.
QLocale qtTranslationLocale(const QLocale &locale);

// 8-bit text, INI files and logs are UTF-8, whatever the process locale says.
void installSystemCodec();
