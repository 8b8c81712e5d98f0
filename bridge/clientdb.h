#pragma once

#include <QHash>
#include <QObject>
#include <QSqlQuery>
#include <QSqlDatabase>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <memory>

// A local SQLite database for page script: opens an existing file by name, runs parameterised
// statements synchronously and never throws into the page. A failing call returns -1, false or
// an empty list and leaves its message in LastError.
//
// Objects on the same database file (however the page names it: relative, with "./", through a
// symbolic link) share one connection and its transaction, so they never lock each other out;
// objects on different files never see each other's statements. A connection is removed when
// the last object on it closes or dies.
class ClientDb : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ClientDb)
public:
    explicit ClientDb(QObject *parent = nullptr);
    ~ClientDb() override;

    // The connection the object uses now, or used last.
    QString connectionName() const { return m_connectionName; }

    // The statement with every "@" parameter marker written as ":"; an "@" inside a quoted
    // literal, a quoted name, a comment or a parameter's parenthesised suffix is text and stays.
    static QString rewriteParameterMarkers(const QString &sql);

    // The connection to one database file shared by every object on it (defined with the class).
    struct SharedConnection;

public slots:
    QString get_LastError();
    bool get_FieldNameToLower();
    void set_FieldNameToLower(bool value);
    QVariant get_LastInsertedId();
    QString get_DbName();
    void set_DbName(QString dbName);

    void beginTransaction();
    void commitTransaction();
    void rollbackTransaction();
    void closeDb();

    int insert(QString tableName, QVariantList fields, QVariantMap values);
    int update(QString tableName, QString primaryKey, QVariantList fields, QVariantMap values);
    QVariantList select(QString sql, QVariantMap params);
    QVariantList select(QString sql);
    int del(QString tableName, QString field, QVariant value);
    int executeNonQuerySQL(QString sql, QVariantMap params);
    int executeNonQuerySQL(QString sql);
    void addParameter(QString parameterName, QVariant value);

    // Many rows in one call and one transaction (the page's own, when one is open): each row is
    // the values map of insert, or the params map of executeNonQuerySQL. The total of affected
    // rows, or -1 at the first failing row, whose index LastError names; a transaction of the
    // call's own is then rolled back, so no row of the call stays.
    int insertRows(QString tableName, QVariantList fields, QVariantList rows);
    int executeNonQuerySQLRows(QString sql, QVariantList paramRows);

private:
    bool open();
    bool prepareCached(QSqlQuery &query, const QString &sql);
    int failEmpty(const QString &parameterName);
    void setStatementError(const QSqlQuery &query, bool preparing, const QString &sql = QString());
    bool checkTransaction();
    int inOneTransaction(const QVariantList &rows, const std::function<int(const QVariant &row)> &run);
    bool &inTransaction();
    void takeTransactionStateFromSqlite();
    void bindParameters(QSqlQuery &query, const QVariantMap &params);
    static QString placeholderFor(const QString &name);
    static QVariant bindable(const QVariant &value);

    QString m_dbName;
    QString m_lastError;
    QVariant m_lastInsertedId;
    QVariantList m_parameterNames;
    QVariantList m_parameterValues;
    QSqlDatabase m_database;
    bool m_fieldNameToLower = false;
    // Only while no connection is open; an open one keeps the flag in the shared connection.
    bool m_inTransaction = false;
    QString m_connectionName;
    QString m_openPath;
    std::shared_ptr<SharedConnection> m_shared;
    // Prepared insert, update and delete statements by text: pages repeat the same few in loops.
    QHash<QString, QSqlQuery> m_statements;
};
