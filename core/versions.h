#pragma once

#include <QString>

// Compares dotted decimal versions part by part: 1 when a is greater, -1 when b is, 0 when
// equal, -2 when they cannot be compared (empty, different part counts, a part that is not
// a decimal number).
int compareVersions(const QString &a, const QString &b);

// True for a text that compares with itself, i.e. plain dotted decimal numbers.
bool isVersionText(const QString &version);
