#include "bridgedispatcher.h"

#include <QDateTime>
#include <QJsonObject>
#include <QMetaMethod>
#include <QSet>
#include <QVariantList>
#include <QVariantMap>

#include <cmath>
#include <vector>

namespace {
const QString ObjectKey = QStringLiteral("$kavoObject");
const QString DateKey = QStringLiteral("$kavoDate");

bool isPageVisible(const QMetaMethod &method)
{
    if (method.access() != QMetaMethod::Public)
        return false;
    return method.methodType() == QMetaMethod::Slot || method.methodType() == QMetaMethod::Method;
}

int typeOf(const QMetaMethod &method, int index)
{
    return method.parameterType(index);
}

QString signatureOf(const QMetaMethod &method)
{
    return QString::fromLatin1(method.methodSignature());
}

QVariant makeStorage(int type)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return QVariant(QMetaType(type));
#else
    return QVariant(type, nullptr);
#endif
}

double toNumber(const QJsonValue &value)
{
    if (value.isDouble())
        return value.toDouble();
    if (value.isBool())
        return value.toBool() ? 1 : 0;
    if (value.isString()) {
        bool ok = false;
        const double number = value.toString().trimmed().toDouble(&ok);
        return ok ? number : (value.toString().trimmed().isEmpty() ? 0 : std::nan(""));
    }
    return value.isNull() ? 0 : std::nan("");
}

QString toText(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::String:
        return value.toString();
    case QJsonValue::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QJsonValue::Double: {
        const double number = value.toDouble();
        if (number == std::floor(number) && std::fabs(number) < 1e15)
            return QString::number(qint64(number));
        return QString::number(number, 'g', 17);
    }
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        return QString();
    default:
        return QStringLiteral("[object Object]");
    }
}
} // namespace

int BridgeDispatcher::add(QObject *object)
{
    if (!object)
        return 0;
    const auto known = m_ids.constFind(object);
    if (known != m_ids.constEnd() && m_objects.value(*known))
        return *known;
    const int id = m_next++;
    m_objects.insert(id, object);
    m_ids.insert(object, id);
    return id;
}

QObject *BridgeDispatcher::object(int id) const
{
    return m_objects.value(id).data();
}

void BridgeDispatcher::clear()
{
    m_objects.clear();
    m_ids.clear();
}

QStringList BridgeDispatcher::methodNames(const QObject *object)
{
    QStringList names;
    if (!object)
        return names;
    const QMetaObject *meta = object->metaObject();
    for (int i = QObject::staticMetaObject.methodCount(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        const QString name = QString::fromLatin1(method.name());
        if (isPageVisible(method) && !names.contains(name))
            names << name;
    }
    return names;
}

QJsonObject BridgeDispatcher::describe(QObject *object)
{
    return QJsonObject{{ObjectKey, add(object)}, {QStringLiteral("methods"), QJsonArray::fromStringList(methodNames(object))}};
}

QVariant BridgeDispatcher::toNatural(const QJsonValue &value) const
{
    switch (value.type()) {
    case QJsonValue::Bool:
        return value.toBool();
    case QJsonValue::Double:
        return value.toDouble();
    case QJsonValue::String:
        return value.toString();
    case QJsonValue::Array: {
        QVariantList list;
        for (const QJsonValue &element : value.toArray())
            list << toNatural(element);
        return list;
    }
    case QJsonValue::Object: {
        const QJsonObject object = value.toObject();
        if (object.contains(DateKey))
            return QDateTime::fromMSecsSinceEpoch(qint64(object.value(DateKey).toDouble()));
        if (object.contains(ObjectKey))
            return QVariant::fromValue(this->object(object.value(ObjectKey).toInt()));
        QVariantMap map;
        for (auto it = object.constBegin(); it != object.constEnd(); ++it)
            map.insert(it.key(), toNatural(it.value()));
        return map;
    }
    default:
        return QVariant();
    }
}

QVariant BridgeDispatcher::toArgument(const QJsonValue &value, int type, bool *ok) const
{
    *ok = true;
    switch (type) {
    case QMetaType::QString:
        return toText(value);
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::Short: {
        const double number = toNumber(value);
        return QVariant::fromValue(qint64(std::isfinite(number) ? number : 0));
    }
    case QMetaType::Double:
    case QMetaType::Float:
        return toNumber(value);
    case QMetaType::Bool:
        if (value.isString())
            return !value.toString().isEmpty();
        if (value.isDouble())
            return value.toDouble() != 0 && !std::isnan(value.toDouble());
        return value.isBool() ? value.toBool() : !(value.isNull() || value.isUndefined());
    case QMetaType::QVariant:
        return toNatural(value);
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        const QVariant natural = toNatural(value);
        QVariantList list = natural.userType() == QMetaType::QVariantList ? natural.toList() : QVariantList{natural};
        if (value.isNull() || value.isUndefined())
            list.clear();
        if (type == QMetaType::QStringList)
            return QVariant(list).toStringList();
        return list;
    }
    case QMetaType::QVariantMap:
        return value.isObject() ? toNatural(value).toMap() : QVariantMap();
    case QMetaType::QDateTime:
        return toNatural(value).toDateTime();
    case QMetaType::QObjectStar:
        return QVariant::fromValue(value.isObject() ? object(value.toObject().value(ObjectKey).toInt()) : nullptr);
    default:
        *ok = false;
        return QVariant();
    }
}

QJsonValue BridgeDispatcher::fromResult(const QVariant &value)
{
    if (!value.isValid())
        return QJsonValue(QJsonValue::Undefined);
    switch (value.userType()) {
    case QMetaType::QObjectStar: {
        QObject *object = value.value<QObject *>();
        return object ? QJsonValue(describe(object)) : QJsonValue(QJsonValue::Null);
    }
    case QMetaType::QDateTime:
        return QJsonObject{{DateKey, double(value.toDateTime().toMSecsSinceEpoch())}};
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        QJsonArray array;
        for (const QVariant &element : value.toList())
            array.append(fromResult(element));
        return array;
    }
    case QMetaType::QVariantMap: {
        QJsonObject object;
        const QVariantMap map = value.toMap();
        for (auto it = map.constBegin(); it != map.constEnd(); ++it)
            object.insert(it.key(), fromResult(it.value()));
        return object;
    }
    case QMetaType::QByteArray:
        return QString::fromUtf8(value.toByteArray());
    default:
        if (value.canConvert<QObject *>() && value.value<QObject *>())
            return describe(value.value<QObject *>());
        return QJsonValue::fromVariant(value);
    }
}

BridgeDispatcher::Result BridgeDispatcher::call(int id, const QString &method, const QJsonArray &arguments)
{
    QObject *target = object(id);
    if (!target)
        return {QJsonValue(), QStringLiteral("the object has gone with its page")};
    const QMetaObject *meta = target->metaObject();
    QMetaMethod chosen;
    QStringList candidates;
    for (int i = QObject::staticMetaObject.methodCount(); i < meta->methodCount(); ++i) {
        const QMetaMethod candidate = meta->method(i);
        if (!isPageVisible(candidate) || QString::fromLatin1(candidate.name()) != method)
            continue;
        candidates << signatureOf(candidate);
        const int count = candidate.parameterCount();
        if (count > arguments.size())
            continue;
        if (!chosen.isValid() || count == arguments.size()
            || (chosen.parameterCount() != arguments.size() && count > chosen.parameterCount()))
            chosen = candidate;
    }
    if (candidates.isEmpty())
        return {QJsonValue(), QStringLiteral("%1 is not a function").arg(method)};
    if (!chosen.isValid())
        return {QJsonValue(), QStringLiteral("too few arguments in call to %1(); candidates are\n    %2")
                                  .arg(method, candidates.join(QStringLiteral("\n    ")))};

    // Argument storage first, then the pointers into it: the vector never grows after this.
    // A QVariant parameter or result is passed as the QVariant itself, every other type as the
    // value a QVariant holds.
    std::vector<QVariant> values;
    std::vector<bool> whole;
    values.reserve(size_t(chosen.parameterCount()) + 1);
    const int returnType = chosen.returnType();
    values.push_back(returnType == QMetaType::Void || returnType == QMetaType::QVariant ? QVariant()
                                                                                      : makeStorage(returnType));
    whole.push_back(returnType == QMetaType::QVariant);
    for (int i = 0; i < chosen.parameterCount(); ++i) {
        const int type = typeOf(chosen, i);
        bool ok = false;
        QVariant argument = toArgument(arguments.at(i), type, &ok);
        if (ok && type != QMetaType::QVariant)
            ok = argument.convert(
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
                QMetaType(type)
#else
                type
#endif
            );
        if (!ok)
            return {QJsonValue(), QStringLiteral("incompatible type of argument(s) in call to %1(); candidates are\n    %2")
                                      .arg(method, candidates.join(QStringLiteral("\n    ")))};
        values.push_back(argument);
        whole.push_back(type == QMetaType::QVariant);
    }
    std::vector<void *> pointers;
    for (size_t i = 0; i < values.size(); ++i) {
        if (whole[i])
            pointers.push_back(&values[i]);
        else
            pointers.push_back(values[i].isValid() ? values[i].data() : nullptr);
    }
    // The target may delete itself in its own slot; the result is read from our own storage.
    QMetaObject::metacall(target, QMetaObject::InvokeMetaMethod, chosen.methodIndex(), pointers.data());
    if (returnType == QMetaType::Void)
        return {QJsonValue(QJsonValue::Undefined), QString()};
    return {fromResult(values.front()), QString()};
}
