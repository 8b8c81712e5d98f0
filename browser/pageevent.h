#pragma once

#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QVariantMap>

// The one home of page events. Every event has two forms that a page cannot tell apart: the script
// text pages have always received (run in the page), and the same event as data, which a page's
// own bridge script dispatches where running a script is not possible (during a call on an engine
// whose calls are messages, or under a strict content security policy). Every value substituted
// between the single quotes of an event script goes through escapeScriptString, so no value can
// end the literal early.
namespace PageEvent {

struct Event
{
    // What happens to Kavo.picturelist before the event is dispatched.
    enum class Pictures { Keep, Push, Clear };

    QString script;
    QString name;
    // The event's own properties, success included; nested maps become plain objects.
    QVariantMap fields;
    Pictures pictures = Pictures::Keep;
    QString picture;
    // ev.window = the page's window.
    bool withWindow = false;

    bool isValid() const { return !name.isEmpty(); }
    // {"name", "fields", "pictures": "push"|"clear", "picture", "window": true}, for the page's
    // bridge script.
    QJsonObject toJson() const;
};

// The contents of a single-quoted JavaScript string literal that reads back as value:
// quotes, backslashes, line ends, U+2028/U+2029 and "</" are escaped.
QString escapeScriptString(const QString &value);

// A script text with each %1.. placeholder replaced, in order, by an escaped value.
QString compose(const QString &scriptTemplate, const QStringList &values);

// Every page event; values are escaped here, callers pass them raw.
Event cameraPictureAdd(bool success, const QString &fileName);
Event cameraPictureBusy();
Event cameraPictureCancel();
Event cameraPictureClear();
Event deviceNotification(int id);
Event remoteDataFailure(const QString &id, const QString &error);
// extras: {status, headers: {name: value}}; a "jsonmessage" header (in any case) is left out.
Event remoteDataSuccess(const QString &id, const QString &response, int status,
                        const QMap<QString, QString> &headers);
// The object literal of a remote-data answer's extras, built with escaped names and values.
QString extrasLiteral(int status, const QMap<QString, QString> &headers);
Event fileUpload(bool success, const QString &localUrl);
Event fileUploadFailure(const QString &localUrl, const QString &error);
Event fileUploadBusy();
Event updateEnd(bool success, const QString &version, const QString &text);
// An update that will not reach the consent question: success=false, info.version, error.
Event updateError(const QString &version, const QString &error);
Event windowLoaded(const QString &title);

// The "kavo.update.end" event the program's own command line asks for after the updater
// restarted it ("-endUpdate", "-state" Success or Failed in any case, "-version"); invalid when
// the words ask for none.
Event endOfUpdate(const QStringList &arguments);

} // namespace PageEvent
