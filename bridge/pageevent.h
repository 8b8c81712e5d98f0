#pragma once

#include <QString>

// The one home of page-event scripts. Every value substituted between the single quotes of an
// event script goes through escapeScriptString, so no value can end the literal early.
namespace PageEvent {

// The contents of a single-quoted JavaScript string literal that reads back as value:
// quotes, backslashes, line ends, U+2028/U+2029 and "</" are escaped.
QString escapeScriptString(const QString &value);

// A script text with each %1.. placeholder replaced, in order, by an escaped value.
QString compose(const QString &scriptTemplate, const QStringList &values);

} // namespace PageEvent
