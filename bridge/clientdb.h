#pragma once

#include <QHash>
#include <QObject>
#include <QSqlQuery>
#include <QSqlDatabase>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

// A local SQLite database for page script: opens an existing file by name, runs parameterised
// statements synchronously and never throws into the page. A failing call returns -1, false or
// an empty list and leaves its message in LastError.
//
// Each object has a connection of its own, so two objects on two files never see each other's
// statements; the connection is removed when the object closes or dies.
class ClientDb : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ClientDb)
public:
    explicit ClientDb(QObject *parent = nullptr);
    ~ClientDb() override;

    QString connectionName() const { return m_connectionName; }

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

private:
    bool open();
    bool prepareCached(QSqlQuery &query, const QString &sql);
    int failEmpty(const QString &parameterName);
    void setStatementError(const QSqlQuery &query, bool preparing, const QString &sql = QString());
    bool checkTransaction();
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
    bool m_inTransaction = false;
    QString m_connectionName;
    QString m_openPath;
    // Prepared insert, update and delete statements by text: pages repeat the same few in loops.
    QHash<QString, QSqlQuery> m_statements;
};
