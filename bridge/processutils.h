#pragma once

#include <QList>
#include <QString>

// Processes of the current user, found by executable file name (compared ignoring case).
// The caller itself never counts.
QList<qint64> processIdsByName(const QString &exeName);
bool isProcessRunning(const QString &exeName);
// SIGTERM, then SIGKILL for any still alive after a short wait; false when one survives.
bool killProcessByName(const QString &exeName);
