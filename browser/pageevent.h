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

// The scripts of every page event; values are escaped here, callers pass them raw.
QString cameraPictureAdd(bool success, const QString &fileName);
QString cameraPictureBusy();
QString cameraPictureCancel();
QString cameraPictureClear();
QString deviceNotification(int id);
QString remoteDataFailure(const QString &id, const QString &error);
// extrasLiteral is an object literal built with escaped names and values.
QString remoteDataSuccess(const QString &id, const QString &response, const QString &extrasLiteral);
QString fileUpload(bool success, const QString &localUrl);
QString fileUploadBusy();
QString updateEnd(bool success, const QString &version, const QString &text);
// An update that will not reach the consent question: success=false, info.version, error.
QString updateError(const QString &version, const QString &error);
QString windowLoaded(const QString &title);

// The "kavo.update.end" script the program's own command line asks for after the updater
// restarted it ("-endUpdate", "-state" Success or Failed in any case, "-version"); empty when
// the words ask for none.
QString endOfUpdateScript(const QStringList &arguments);

} // namespace PageEvent
