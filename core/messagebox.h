#pragma once

#include <QString>

// Shows a modal critical box without parent and a single default OK button. With
// KAVO_NONINTERACTIVE=1 it prints "title: text" on standard error and returns at once,
// so scripts and tests can run the real programs unattended.
void showCriticalMessage(const QString &title, const QString &text);
// The same for news that is no error, with the information icon.
void showInformationMessage(const QString &title, const QString &text);
bool isNonInteractive();
