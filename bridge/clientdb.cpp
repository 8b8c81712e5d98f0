#include "clientdb.h"

#include "core/fileutils.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>

#include <sqlite3.h>

#include <cctype>
#include <unordered_map>
#include <utility>

// One connection per database file, shared by every object on that file, with its transaction.
struct ClientDb::SharedConnection
{
    QString name;
    QString path;
    bool inTransaction = false;
    ~SharedConnection();
};

namespace {

// Canonical file path -> the live shared connection on it. GUI thread only.
std::unordered_map<std::string, std::weak_ptr<ClientDb::SharedConnection>> &sharedConnections()
{
    static std::unordered_map<std::string, std::weak_ptr<ClientDb::SharedConnection>> connections;
    return connections;
}

QString nextConnectionName()
{
    static QAtomicInt counter;
    return QStringLiteral("kavo.clientdb.%1").arg(counter.fetchAndAddRelaxed(1) + 1);
}

QString replaceAt(QString text)
{
    return text.replace(QLatin1Char('@'), QLatin1Char(':'));
}

} // namespace

ClientDb::SharedConnection::~SharedConnection()
{
    auto &connections = sharedConnections();
    const auto it = connections.find(path.toStdString());
    if (it != connections.end() && it->second.expired())
        connections.erase(it);
    {
        QSqlDatabase database = QSqlDatabase::database(name, false);
        if (database.isOpen())
            database.close();
    }
    QSqlDatabase::removeDatabase(name);
}

namespace {
// A character SQLite takes into a name: ASCII letters, digits, '_', '$', and everything beyond ASCII.
bool isNameChar(QChar c)
{
    const ushort u = c.unicode();
    return u >= 0x80 || std::isalnum(u) || u == '_' || u == '$';
}

// SQLite's blanks: ASCII space, tab, line feed, vertical tab, form feed, carriage return.
bool isSqlSpace(QChar c)
{
    const ushort u = c.unicode();
    return u == ' ' || (u >= 0x09 && u <= 0x0d);
}

// Where SQLite's parameter token that starts at i (with '@', ':', '$' or '#') ends: its name may
// go on over "::" pairs and end in a parenthesised suffix up to ')' or a blank, as in
// "@a::b(x@y)". Everything inside the suffix belongs to the one parameter and stays. The pairs are
// read as they will be written: an '@' in one becomes ':', so that the rewritten text splits into
// the same tokens.
int parameterEnd(const QString &sql, int i, QString &out)
{
    const auto colon = [&sql](int at) { return sql.at(at) == QLatin1Char(':') || sql.at(at) == QLatin1Char('@'); };
    const int n = sql.size();
    int j = i + 1;
    bool named = false;
    while (j < n) {
        const QChar d = sql.at(j);
        if (isNameChar(d)) {
            named = true;
            ++j;
        } else if (d == QLatin1Char('(') && named) {
            ++j;
            while (j < n && sql.at(j) != QLatin1Char(')') && !isSqlSpace(sql.at(j)))
                ++j;
            if (j < n && sql.at(j) == QLatin1Char(')'))
                ++j;
            break;
        } else if (colon(j) && j + 1 < n && colon(j + 1)) {
            out[j] = out[j + 1] = QLatin1Char(':');
            j += 2;
        } else {
            break;
        }
    }
    return j;
}
} // namespace

QString ClientDb::rewriteParameterMarkers(const QString &sql)
{
    QString out = sql;
    const int n = sql.size();
    int i = 0;
    while (i < n) {
        const QChar c = sql.at(i);
        // Quoted literals and names: '...', "...", `...` (a doubled quote stays inside), [...].
        if (c == QLatin1Char('\'') || c == QLatin1Char('"') || c == QLatin1Char('`')) {
            ++i;
            while (i < n) {
                if (sql.at(i) == c) {
                    if (i + 1 < n && sql.at(i + 1) == c) {
                        i += 2;
                        continue;
                    }
                    break;
                }
                ++i;
            }
            ++i;
        } else if (c == QLatin1Char('[')) {
            const int end = sql.indexOf(QLatin1Char(']'), i + 1);
            i = end < 0 ? n : end + 1;
        } else if (c == QLatin1Char('-') && i + 1 < n && sql.at(i + 1) == QLatin1Char('-')) {
            const int end = sql.indexOf(QLatin1Char('\n'), i + 2);
            i = end < 0 ? n : end + 1;
        } else if (c == QLatin1Char('/') && i + 1 < n && sql.at(i + 1) == QLatin1Char('*')) {
            const int end = sql.indexOf(QLatin1String("*/"), i + 2);
            i = end < 0 ? n : end + 2;
        } else if (c == QLatin1Char('@') || c == QLatin1Char(':') || c == QLatin1Char('#')
                   || (c == QLatin1Char('$') && (i == 0 || !isNameChar(sql.at(i - 1))))) {
            if (c == QLatin1Char('@'))
                out[i] = QLatin1Char(':');
            i = parameterEnd(sql, i, out);
        } else {
            ++i;
        }
    }
    return out;
}

ClientDb::ClientDb(QObject *parent)
    : QObject(parent)
{
}

ClientDb::~ClientDb()
{
    closeDb();
}

QString ClientDb::get_LastError()
{
    return m_lastError;
}

bool ClientDb::get_FieldNameToLower()
{
    return m_fieldNameToLower;
}

void ClientDb::set_FieldNameToLower(bool value)
{
    m_fieldNameToLower = value;
}

QVariant ClientDb::get_LastInsertedId()
{
    return m_lastInsertedId;
}

QString ClientDb::get_DbName()
{
    return m_dbName;
}

void ClientDb::set_DbName(QString dbName)
{
    m_dbName = dbName;
    // Naming another file while open moves the object to it; otherwise DbName would name one
    // file while the statements still went to the other.
    if (m_database.isOpen() && m_openPath != absolutePath(dbName))
        closeDb();
    open();
}

bool ClientDb::open()
{
    if (m_database.isOpen())
        return true;
    const QString path = absolutePath(m_dbName);
    // SQLite would create a missing file; the bridge only ever opens existing ones.
    if (!QFileInfo(path).isFile()) {
        m_lastError = tr("数据库 %0 不存在").arg(m_dbName);
        return false;
    }
    // "x.db", "./x.db" and a link to it are one file, so they get one connection.
    const QString canonical = QFileInfo(path).canonicalFilePath();
    auto &connections = sharedConnections();
    const auto found = connections.find(canonical.toStdString());
    std::shared_ptr<SharedConnection> shared = found != connections.end() ? found->second.lock() : nullptr;
    if (!shared) {
        shared = std::make_shared<SharedConnection>();
        shared->name = nextConnectionName();
        shared->path = canonical;
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), shared->name);
        database.setDatabaseName(canonical);
        if (!database.open()) {
            const QString driverText = database.lastError().text();
            database = QSqlDatabase();
            shared.reset();
            closeDb();
            m_lastError = tr("数据库 %0 连接失败，%1").arg(m_dbName, driverText);
            return false;
        }
        connections[canonical.toStdString()] = shared;
    }
    m_shared = shared;
    m_connectionName = shared->name;
    m_database = QSqlDatabase::database(shared->name, false);
    m_inTransaction = false;
    m_openPath = path;
    return true;
}

bool ClientDb::prepareCached(QSqlQuery &query, const QString &sql)
{
    const auto it = m_statements.constFind(sql);
    if (it != m_statements.constEnd()) {
        query = it.value();
        return true;
    }
    query = QSqlQuery(m_database);
    if (!query.prepare(sql))
        return false;
    if (m_database.isOpen()) {
        if (m_statements.size() >= 32)
            m_statements.clear();
        m_statements.insert(sql, query);
    }
    return true;
}

void ClientDb::closeDb()
{
    m_statements.clear();
    // The last object on a connection closes it, which ends any transaction it still holds;
    // others on the same file keep the connection and its transaction.
    m_inTransaction = false;
    m_openPath.clear();
    m_database = QSqlDatabase();
    m_shared.reset();
}

bool &ClientDb::inTransaction()
{
    return m_shared ? m_shared->inTransaction : m_inTransaction;
}

void ClientDb::takeTransactionStateFromSqlite()
{
    // A refused COMMIT (busy, a deferred constraint) leaves the transaction open in SQLite; the
    // page must still be able to roll it back.
    if (!m_database.isOpen() || !m_database.driver())
        return;
    const QVariant handle = m_database.driver()->handle();
    if (qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return;
    if (auto *db = *static_cast<sqlite3 *const *>(handle.data()))
        inTransaction() = sqlite3_get_autocommit(db) == 0;
}

void ClientDb::beginTransaction()
{
    inTransaction() = true;
    m_lastError.clear();
    if (!m_database.transaction())
        m_lastError = m_database.lastError().text();
}

bool ClientDb::checkTransaction()
{
    m_lastError.clear();
    if (!inTransaction()) {
        m_lastError = tr("还没有 beginTransaction");
        return false;
    }
    return true;
}

void ClientDb::commitTransaction()
{
    if (!checkTransaction())
        return;
    inTransaction() = false;
    // A refused commit must not look like a stored result.
    if (!m_database.commit()) {
        m_lastError = m_database.lastError().text();
        takeTransactionStateFromSqlite();
    }
}

void ClientDb::rollbackTransaction()
{
    if (!checkTransaction())
        return;
    inTransaction() = false;
    if (!m_database.rollback()) {
        m_lastError = m_database.lastError().text();
        takeTransactionStateFromSqlite();
    }
}

int ClientDb::failEmpty(const QString &parameterName)
{
    m_lastError = tr("参数 %0 不能为空").arg(parameterName);
    return -1;
}

void ClientDb::setStatementError(const QSqlQuery &query, bool preparing, const QString &sql)
{
    // Without a connection the query never records its text; the page still learns which one failed.
    const QString text = query.lastQuery().isEmpty() ? sql : query.lastQuery();
    // The "\n" here is the two characters backslash and n, not a line break.
    m_lastError = tr("%0，%1 SQL：\\n%2")
                      .arg(query.lastError().text(), preparing ? tr("准备") : tr("执行"), text);
}

QVariant ClientDb::bindable(const QVariant &value)
{
    if (value.userType() == QMetaType::QDateTime)
        return value.toDateTime().toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    return value;
}

QString ClientDb::placeholderFor(const QString &name)
{
    if (name.contains(QLatin1Char('@')))
        return replaceAt(name);
    return QLatin1Char(':') + name;
}

void ClientDb::bindParameters(QSqlQuery &query, const QVariantMap &params)
{
    for (auto it = params.constBegin(); it != params.constEnd(); ++it)
        query.bindValue(placeholderFor(it.key()), bindable(it.value()));
    for (int i = 0; i < m_parameterNames.size(); ++i)
        query.bindValue(m_parameterNames.at(i).toString(), m_parameterValues.at(i));
    m_parameterNames.clear();
    m_parameterValues.clear();
}

int ClientDb::insert(QString tableName, QVariantList fields, QVariantMap values)
{
    m_lastError.clear();
    if (tableName.isEmpty())
        return failEmpty(QStringLiteral("tableName"));
    if (fields.isEmpty())
        return failEmpty(QStringLiteral("field"));
    if (values.isEmpty())
        return failEmpty(QStringLiteral("values"));

    QStringList columns;
    QStringList placeholders;
    for (const QVariant &field : std::as_const(fields)) {
        columns << field.toString();
        placeholders << QLatin1Char(':') + field.toString();
    }
    const QString sql = QStringLiteral("insert into %0 (%1) values (%2)")
                            .arg(tableName, columns.join(QLatin1Char(',')), placeholders.join(QLatin1Char(',')));
    QSqlQuery query;
    if (!prepareCached(query, sql)) {
        setStatementError(query, true, sql);
        return -1;
    }
    for (const QString &column : std::as_const(columns))
        query.bindValue(QLatin1Char(':') + column, bindable(values.value(column)));
    const bool executed = query.exec();
    m_lastInsertedId = query.lastInsertId();
    if (!executed) {
        setStatementError(query, false);
        query.finish();
        return -1;
    }
    const int rows = query.numRowsAffected();
    query.finish();
    return rows;
}

int ClientDb::update(QString tableName, QString primaryKey, QVariantList fields, QVariantMap values)
{
    m_lastError.clear();
    if (tableName.isEmpty())
        return failEmpty(QStringLiteral("tableName"));
    if (primaryKey.isEmpty())
        return failEmpty(QStringLiteral("primaryKey"));
    if (fields.isEmpty())
        return failEmpty(QStringLiteral("field"));
    if (values.isEmpty())
        return failEmpty(QStringLiteral("values"));

    QStringList sets;
    for (const QVariant &field : std::as_const(fields))
        sets << field.toString() + QStringLiteral("=:") + field.toString();
    const QString condition = primaryKey + QStringLiteral("=:") + primaryKey;
    const QString sql = QStringLiteral("update %0 set %1 where %2").arg(tableName, sets.join(QLatin1Char(',')), condition);
    QSqlQuery query;
    if (!prepareCached(query, sql)) {
        setStatementError(query, true, sql);
        return -1;
    }
    for (const QVariant &field : std::as_const(fields))
        query.bindValue(QLatin1Char(':') + field.toString(), bindable(values.value(field.toString())));
    query.bindValue(QLatin1Char(':') + primaryKey, values.value(primaryKey));
    const bool executed = query.exec();
    if (!executed)
        setStatementError(query, false);
    const int rows = executed ? query.numRowsAffected() : -1;
    query.finish();
    return rows;
}

int ClientDb::del(QString tableName, QString field, QVariant value)
{
    m_lastError.clear();
    if (tableName.isEmpty())
        return failEmpty(QStringLiteral("tableName"));
    if (field.isEmpty())
        return failEmpty(QStringLiteral("field"));
    if (value.isNull())
        return failEmpty(QStringLiteral("value"));

    const QString condition = QStringLiteral("%0 = :%1").arg(field, field);
    const QString sql = QStringLiteral("delete from %0 where %1").arg(tableName, condition);
    QSqlQuery query;
    if (!prepareCached(query, sql)) {
        setStatementError(query, true, sql);
        return -1;
    }
    query.bindValue(QLatin1Char(':') + field, value);
    const bool executed = query.exec();
    if (!executed)
        setStatementError(query, false);
    const int rows = executed ? query.numRowsAffected() : -1;
    query.finish();
    return rows;
}

int ClientDb::executeNonQuerySQL(QString sql, QVariantMap params)
{
    m_lastError.clear();
    if (sql.isEmpty())
        return failEmpty(QStringLiteral("sql"));
    QSqlQuery query(m_database);
    if (!query.prepare(rewriteParameterMarkers(sql))) {
        setStatementError(query, true, rewriteParameterMarkers(sql));
        return -1;
    }
    bindParameters(query, params);
    if (!query.exec()) {
        setStatementError(query, false);
        return -1;
    }
    return query.numRowsAffected();
}

int ClientDb::executeNonQuerySQL(QString sql)
{
    return executeNonQuerySQL(sql, QVariantMap());
}

int ClientDb::insertRows(QString tableName, QVariantList fields, QVariantList rows)
{
    return inOneTransaction(rows, [&](const QVariant &row) { return insert(tableName, fields, row.toMap()); });
}

int ClientDb::executeNonQuerySQLRows(QString sql, QVariantList paramRows)
{
    return inOneTransaction(paramRows, [&](const QVariant &row) { return executeNonQuerySQL(sql, row.toMap()); });
}

int ClientDb::inOneTransaction(const QVariantList &rows, const std::function<int(const QVariant &row)> &run)
{
    m_lastError.clear();
    if (rows.isEmpty())
        return failEmpty(QStringLiteral("rows"));
    const bool own = !inTransaction();
    if (own) {
        beginTransaction();
        if (!m_lastError.isEmpty()) {
            inTransaction() = false;
            return -1;
        }
    }
    int total = 0;
    for (int i = 0; i < rows.size(); ++i) {
        const int affected = run(rows.at(i));
        if (affected < 0) {
            const QString error = tr("第 %0 行：%1").arg(i).arg(m_lastError);
            if (own)
                rollbackTransaction();
            m_lastError = error;
            return -1;
        }
        total += affected;
    }
    if (own) {
        commitTransaction();
        if (!m_lastError.isEmpty())
            return -1;
    }
    return total;
}

QVariantList ClientDb::select(QString sql, QVariantMap params)
{
    m_lastError.clear();
    QVariantList rows;
    if (!sql.contains(QLatin1String("select"), Qt::CaseInsensitive))
        return rows;
    QSqlQuery query(m_database);
    query.setForwardOnly(true);
    if (!query.prepare(rewriteParameterMarkers(sql))) {
        setStatementError(query, true, rewriteParameterMarkers(sql));
        return rows;
    }
    bindParameters(query, params);
    if (!query.exec()) {
        setStatementError(query, false);
        return rows;
    }
    const QSqlRecord record = query.record();
    QStringList names;
    names.reserve(record.count());
    for (int i = 0; i < record.count(); ++i)
        names << (m_fieldNameToLower ? record.fieldName(i).toLower() : record.fieldName(i));
    while (query.next()) {
        QVariantMap row;
        for (int i = 0; i < names.size(); ++i)
            row.insert(names.at(i), query.value(i));
        rows.append(row);
    }
    // A step that fails part way must not pass for a short result.
    if (query.lastError().isValid()) {
        setStatementError(query, false);
        return QVariantList();
    }
    return rows;
}

QVariantList ClientDb::select(QString sql)
{
    return select(sql, QVariantMap());
}

void ClientDb::addParameter(QString parameterName, QVariant value)
{
    m_parameterNames.append(placeholderFor(parameterName));
    m_parameterValues.append(value);
}
