#include "pageevent.h"

#include "core/argmentparser.h"

#include <QStringList>

namespace PageEvent {

QString escapeScriptString(const QString &value)
{
    QString out;
    out.reserve(value.size() + 8);
    for (int i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        switch (c.unicode()) {
        case '\'':
            out += QLatin1String("\\'");
            break;
        case '"':
            out += QLatin1String("\\\"");
            break;
        case '\\':
            out += QLatin1String("\\\\");
            break;
        case '\n':
            out += QLatin1String("\\n");
            break;
        case '\r':
            out += QLatin1String("\\r");
            break;
        case '\t':
            out += QLatin1String("\\t");
            break;
        case 0x2028:
            out += QLatin1String("\\u2028");
            break;
        case 0x2029:
            out += QLatin1String("\\u2029");
            break;
        case '/':
            // "</script>" inside an inline script would end it.
            out += (i > 0 && value.at(i - 1) == QLatin1Char('<')) ? QLatin1String("\\/") : QLatin1String("/");
            break;
        default:
            if (c.unicode() < 0x20)
                out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    return out;
}

QString compose(const QString &scriptTemplate, const QStringList &values)
{
    // One pass, so a value that itself holds "%2" is never substituted again.
    QString script;
    script.reserve(scriptTemplate.size());
    for (int i = 0; i < scriptTemplate.size(); ++i) {
        const QChar c = scriptTemplate.at(i);
        if (c == QLatin1Char('%') && i + 1 < scriptTemplate.size() && scriptTemplate.at(i + 1).isDigit()) {
            const int index = scriptTemplate.at(i + 1).digitValue();
            if (index >= 1 && index <= values.size()) {
                script += escapeScriptString(values.at(index - 1));
                ++i;
                continue;
            }
        }
        script += c;
    }
    return script;
}

namespace {
QString tabs(int n)
{
    return QString(n, QLatin1Char('\t'));
}
QString literal(bool value)
{
    return value ? QStringLiteral("true;") : QStringLiteral("false;");
}
Event event(const QString &name, bool success, const QVariantMap &fields, const QString &script)
{
    Event e;
    e.name = name;
    e.fields = fields;
    e.fields.insert(QStringLiteral("success"), success);
    e.script = script;
    return e;
}
// Header names are case-insensitive, and Qt 6.7 and later hand them over in lower case.
bool isHiddenHeader(const QString &name)
{
    return name.compare(QLatin1String("jsonmessage"), Qt::CaseInsensitive) == 0;
}
} // namespace

QJsonObject Event::toJson() const
{
    QJsonObject json{{QStringLiteral("name"), name}, {QStringLiteral("fields"), QJsonObject::fromVariantMap(fields)}};
    if (pictures == Pictures::Push) {
        json.insert(QStringLiteral("pictures"), QStringLiteral("push"));
        json.insert(QStringLiteral("picture"), picture);
    } else if (pictures == Pictures::Clear) {
        json.insert(QStringLiteral("pictures"), QStringLiteral("clear"));
    }
    if (withWindow)
        json.insert(QStringLiteral("window"), true);
    return json;
}

Event cameraPictureAdd(bool success, const QString &fileName)
{
    QString script;
    if (success)
        script += compose(QStringLiteral("Kavo.picturelist.push('%1');"), {fileName});
    script += QStringLiteral("var ev = document.createEvent('Events');") + tabs(7)
        + QStringLiteral("   ev.initEvent('kavo.camera.picture.add',true,true);ev.success=");
    script += literal(success);
    script += compose(QStringLiteral("ev.filename='%1';document.dispatchEvent(ev);"), {fileName});
    Event e = event(QStringLiteral("kavo.camera.picture.add"), success, {{QStringLiteral("filename"), fileName}},
                    script);
    if (success) {
        e.pictures = Event::Pictures::Push;
        e.picture = fileName;
    }
    return e;
}

Event cameraPictureBusy()
{
    return event(QStringLiteral("kavo.camera.picture.busy"), false, {{QStringLiteral("message"), QStringLiteral("busy")}},
                 QStringLiteral("var e = document.createEvent('Events');") + tabs(2)
                     + QStringLiteral("e.initEvent('kavo.camera.picture.busy',true,true);") + tabs(2)
                     + QStringLiteral("e.success=false;e.message='busy';document.dispatchEvent(e);"));
}

Event cameraPictureCancel()
{
    return event(QStringLiteral("kavo.camera.picture.cancel"), false, {},
                 QStringLiteral("var ev = document.createEvent('Events');") + tabs(5)
                     + QStringLiteral(" ev.initEvent('kavo.camera.picture.cancel',true,true);") + tabs(5)
                     + QStringLiteral(" ev.success=false;document.dispatchEvent(ev);"));
}

Event cameraPictureClear()
{
    Event e = event(QStringLiteral("kavo.camera.picture.clear"), true, {},
                    QStringLiteral("Kavo.picturelist = [];var ev = document.createEvent('Events'); ") + tabs(1)
                        + QStringLiteral("  ev.initEvent('kavo.camera.picture.clear',true,true); ") + tabs(1)
                        + QStringLiteral("  ev.success=true;document.dispatchEvent(ev);"));
    e.pictures = Event::Pictures::Clear;
    return e;
}

Event deviceNotification(int id)
{
    return event(QStringLiteral("kavo.device.notification"), true, {{QStringLiteral("id"), QString::number(id)}},
                 QStringLiteral("var ev = document.createEvent('Events');") + tabs(7)
                     + QStringLiteral("   ev.initEvent('kavo.device.notification',true,true);ev.success=")
                     + literal(true) + QStringLiteral("ev.id='%1';document.dispatchEvent(ev);").arg(id));
}

Event remoteDataFailure(const QString &id, const QString &error)
{
    return event(QStringLiteral("kavo.device.remote.data"), false,
                 {{QStringLiteral("id"), id},
                  {QStringLiteral("response"), QString()},
                  {QStringLiteral("extras"), QVariantMap()},
                  {QStringLiteral("error"), error}},
                 compose(QStringLiteral("var e = document.createEvent('Events');e.initEvent('kavo.device.remote.data',"
                                        "true,true);e.success=false;e.id='%1';e.response='';e.extras={};e.error='%2';"
                                        "document.dispatchEvent(e);"),
                         {id, error}));
}

QString extrasLiteral(int status, const QMap<QString, QString> &headers)
{
    QString extras = QStringLiteral("{status:%1,headers: {").arg(status);
    for (auto it = headers.constBegin(); it != headers.constEnd(); ++it) {
        if (isHiddenHeader(it.key()))
            continue;
        extras += QStringLiteral("'") + escapeScriptString(it.key()) + QStringLiteral("':'")
            + escapeScriptString(it.value()) + QStringLiteral("',");
    }
    return extras + QStringLiteral("} }");
}

Event remoteDataSuccess(const QString &id, const QString &response, int status, const QMap<QString, QString> &headers)
{
    // The extras literal is already made of escaped pieces; it is inserted as it stands.
    QString script = compose(QStringLiteral("var e = document.createEvent('Events');e.initEvent("
                                            "'kavo.device.remote.data',true,true);e.success=true;e.id='%1';"
                                            "e.response='%2';e.extras="),
                             {id, response});
    script += extrasLiteral(status, headers) + QStringLiteral(";document.dispatchEvent(e);");
    QVariantMap headerFields;
    for (auto it = headers.constBegin(); it != headers.constEnd(); ++it) {
        if (!isHiddenHeader(it.key()))
            headerFields.insert(it.key(), it.value());
    }
    const QVariantMap extras{{QStringLiteral("status"), status}, {QStringLiteral("headers"), headerFields}};
    return event(QStringLiteral("kavo.device.remote.data"), true,
                 {{QStringLiteral("id"), id}, {QStringLiteral("response"), response}, {QStringLiteral("extras"), extras}},
                 script);
}

Event fileUpload(bool success, const QString &localUrl)
{
    return event(QStringLiteral("kavo.file.upload"), success, {{QStringLiteral("localURL"), localUrl}},
                 QStringLiteral("var e = document.createEvent('Events');e.initEvent('kavo.file.upload',true,true);")
                     + (success ? QStringLiteral("e.success=true;") : QStringLiteral("e.success=false;"))
                     + compose(QStringLiteral("e.localURL='%1';document.dispatchEvent(e);"), {localUrl}));
}

Event fileUploadFailure(const QString &localUrl, const QString &error)
{
    return event(QStringLiteral("kavo.file.upload"), false,
                 {{QStringLiteral("localURL"), localUrl}, {QStringLiteral("error"), error}},
                 compose(QStringLiteral("var e = document.createEvent('Events');e.initEvent('kavo.file.upload',"
                                        "true,true);e.success=false;e.localURL='%1';e.error='%2';"
                                        "document.dispatchEvent(e);"),
                         {localUrl, error}));
}

Event fileUploadBusy()
{
    return event(QStringLiteral("kavo.file.upload.busy"), false, {{QStringLiteral("message"), QStringLiteral("busy")}},
                 QStringLiteral("var e = document.createEvent('Events'); ") + tabs(4)
                     + QStringLiteral("e.initEvent('kavo.file.upload.busy',true,true); ") + tabs(4)
                     + QStringLiteral("e.success=false;e.message='busy';document.dispatchEvent(e)"));
}

Event updateError(const QString &version, const QString &error)
{
    return event(QStringLiteral("kavo.update.error"), false,
                 {{QStringLiteral("info"), QVariantMap{{QStringLiteral("version"), version}}},
                  {QStringLiteral("error"), error}},
                 QStringLiteral("var ev = document.createEvent('Events'); ev.initEvent('kavo.update.error',true,true); "
                                "ev.success=false;")
                     + compose(QStringLiteral("ev.info={version:'%1'};ev.error='%2';"), {version, error})
                     + QStringLiteral("document.dispatchEvent(ev);"));
}

Event updateEnd(bool success, const QString &version, const QString &text)
{
    if (success)
        return event(QStringLiteral("kavo.update.end"), true,
                     {{QStringLiteral("info"),
                       QVariantMap{{QStringLiteral("version"), version}, {QStringLiteral("description"), text}}}},
                     QStringLiteral("var ev = document.createEvent('Events'); ") + tabs(11)
                         + QStringLiteral(" ev.initEvent('kavo.update.end',true,true); ") + tabs(11)
                         + QStringLiteral(" ev.success=true;")
                         + compose(QStringLiteral("ev.info={version:'%1',description:'%2'};"), {version, text})
                         + tabs(8) + QStringLiteral("  document.dispatchEvent(ev);"));
    return event(QStringLiteral("kavo.update.end"), false,
                 {{QStringLiteral("info"), QVariantMap{{QStringLiteral("version"), version}, {QStringLiteral("error"), text}}}},
                 QStringLiteral("var ev = document.createEvent('Events'); ") + tabs(7)
                     + QStringLiteral(" ev.initEvent('kavo.update.end',true,true); ") + tabs(7)
                     + QStringLiteral(" ev.success=false;")
                     + compose(QStringLiteral("ev.info={version:'%1',error:'%2'}; "), {version, text}) + tabs(8)
                     + QStringLiteral("  document.dispatchEvent(ev);"));
}

Event windowLoaded(const QString &title)
{
    Event e = event(QStringLiteral("kavo.window.loaded"), false, {{QStringLiteral("title"), title}},
                    compose(QStringLiteral("var ev = document.createEvent('Events');ev.initEvent('%1',true,true);"
                                           "ev.success=false;ev.window=window;ev.title='%2';document.dispatchEvent(ev);"),
                            {QStringLiteral("kavo.window.loaded"), title}));
    e.withWindow = true;
    return e;
}

Event endOfUpdate(const QStringList &arguments)
{
    const ArgumentTable table = ArgmentParser::parse(arguments);
    if (!table.contains(QStringLiteral("-endUpdate")))
        return Event();
    const QStringList state = table.value(QStringLiteral("-state"));
    if (state.isEmpty() || state.first().isEmpty())
        return Event();
    const QString version = table.value(QStringLiteral("-version")).value(0);
    if (state.first().compare(QLatin1String("Success"), Qt::CaseInsensitive) == 0)
        return updateEnd(true, version, QStringLiteral("成功啦哈哈！"));
    if (state.first().compare(QLatin1String("Failed"), Qt::CaseInsensitive) == 0)
        return updateEnd(false, version, QStringLiteral("悲催了，唉~~~"));
    return Event();
}

} // namespace PageEvent
