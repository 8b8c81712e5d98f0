#pragma once

#include <QList>
#include <QString>

// Processes of the current user, found by executable file name (compared ignoring case).
// The caller itself never counts.
QList<qint64> processIdsByName(const QString &exeName);
bool isProcessRunning(const QString &exeName);
// SIGTERM, then SIGKILL for any still alive after a short wait; false when one survives.
bool killProcessByName(const QString &exeName);

// The same, limited to processes whose executable lies in dir or below it: one installation
// never ends the programs of another one.
QList<qint64> processIdsByName(const QString &exeName, const QString &dir);
bool isProcessRunning(const QString &exeName, const QString &dir);
bool killProcessByName(const QString &exeName, const QString &dir);
