#include "bridge/clientdb.h"
#include "core/fileutils.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QScopedPointer>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// An empty file is a valid empty SQLite database.
QString makeDbFile(const QString &path, const QStringList &statements = {})
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.close();
    if (!statements.isEmpty()) {
        const QString name = QStringLiteral("fixture");
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            db.setDatabaseName(path);
            if (!db.open())
                return QString();
            QSqlQuery query(db);
            for (const QString &sql : statements) {
                if (!query.exec(sql))
                    return QString();
            }
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
    }
    return path;
}

// Reads a file through a connection of its own, never through the object under test.
QStringList readBack(const QString &path, const QString &sql)
{
    QStringList out;
    const QString name = QStringLiteral("readback");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.open();
        QSqlQuery query(db);
        query.exec(sql);
        while (query.next())
            out << query.value(0).toString();
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return out;
}

const QStringList NotesSchema = {
    QStringLiteral("create table notes (id integer primary key autoincrement, Title text unique, body text, "
                   "created text)"),
};

} // namespace

class tst_ClientDb : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QString m_path;
    QScopedPointer<ClientDb> m_db;

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_path = m_dir.filePath(QStringLiteral("%1.db").arg(QTest::currentTestFunction()));
        QFile::remove(m_path);
        QVERIFY(!makeDbFile(m_path, NotesSchema).isEmpty());
        m_db.reset(new ClientDb);
        m_db->set_DbName(m_path);
        QCOMPARE(m_db->get_LastError(), QString());
    }

    void cleanup() { m_db.reset(); }

    void missingFileIsNotCreated_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("relative");
        QTest::newRow("relative name") << "kavo-no-such-file.db" << true;
        QTest::newRow("relative subfolder") << "no-such-dir/x.db" << true;
        QTest::newRow("absolute path") << "missing.db" << false;
        QTest::newRow("folder") << "" << false;
    }

    void missingFileIsNotCreated()
    {
        QFETCH(QString, name);
        QFETCH(bool, relative);
        const QString given = relative ? name : m_dir.filePath(name);
        ClientDb db;
        db.set_DbName(given);
        QCOMPARE(db.get_DbName(), given);
        QCOMPARE(db.get_LastError(), QStringLiteral("数据库 %0 不存在").arg(given));
        QCOMPARE(db.executeNonQuerySQL(QStringLiteral("create table t (a)")), -1);
        QVERIFY(db.get_LastError().contains(QStringLiteral("，准备 SQL：\\ncreate table t (a)")));
        if (!name.isEmpty())
            QVERIFY(!QFileInfo::exists(absolutePath(given)));
    }

    void relativeNameResolvesBesideTheProgram()
    {
        const QString name = QStringLiteral("tst_clientdb-relative.db");
        const QString beside = applicationDir() + QLatin1Char('/') + name;
        QVERIFY(!makeDbFile(beside, {QStringLiteral("create table t (a)")}).isEmpty());
        {
            ClientDb db;
            db.set_DbName(name);
            QCOMPARE(db.get_LastError(), QString());
            QCOMPARE(db.insert(QStringLiteral("t"), {QStringLiteral("a")}, {{QStringLiteral("a"), 7}}), 1);
        }
        QCOMPARE(readBack(beside, QStringLiteral("select a from t")), QStringList{QStringLiteral("7")});
        QFile::remove(beside);
    }

    void emptyArguments_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addColumn<QString>("parameter");
        QTest::newRow("insert table") << "insert:table" << "tableName";
        QTest::newRow("insert fields") << "insert:fields" << "field";
        QTest::newRow("insert values") << "insert:values" << "values";
        QTest::newRow("update table") << "update:table" << "tableName";
        QTest::newRow("update key") << "update:key" << "primaryKey";
        QTest::newRow("update fields") << "update:fields" << "field";
        QTest::newRow("update values") << "update:values" << "values";
        QTest::newRow("del table") << "del:table" << "tableName";
        QTest::newRow("del field") << "del:field" << "field";
        QTest::newRow("del value") << "del:value" << "value";
        QTest::newRow("execute sql") << "execute:sql" << "sql";
    }

    void emptyArguments()
    {
        QFETCH(QString, call);
        QFETCH(QString, parameter);
        const QString t = QStringLiteral("notes");
        const QVariantList f = {QStringLiteral("Title")};
        const QVariantMap v = {{QStringLiteral("Title"), QStringLiteral("x")}, {QStringLiteral("id"), 1}};
        int result = 0;
        if (call == QLatin1String("insert:table"))
            result = m_db->insert(QString(), f, v);
        else if (call == QLatin1String("insert:fields"))
            result = m_db->insert(t, {}, v);
        else if (call == QLatin1String("insert:values"))
            result = m_db->insert(t, f, {});
        else if (call == QLatin1String("update:table"))
            result = m_db->update(QString(), QStringLiteral("id"), f, v);
        else if (call == QLatin1String("update:key"))
            result = m_db->update(t, QString(), f, v);
        else if (call == QLatin1String("update:fields"))
            result = m_db->update(t, QStringLiteral("id"), {}, v);
        else if (call == QLatin1String("update:values"))
            result = m_db->update(t, QStringLiteral("id"), f, {});
        else if (call == QLatin1String("del:table"))
            result = m_db->del(QString(), QStringLiteral("id"), 1);
        else if (call == QLatin1String("del:field"))
            result = m_db->del(t, QString(), 1);
        else if (call == QLatin1String("del:value"))
            result = m_db->del(t, QStringLiteral("id"), QVariant());
        else if (call == QLatin1String("execute:sql"))
            result = m_db->executeNonQuerySQL(QString());
        QCOMPARE(result, -1);
        QCOMPARE(m_db->get_LastError(), QStringLiteral("参数 %0 不能为空").arg(parameter));
        QCOMPARE(readBack(m_path, QStringLiteral("select count(*) from notes")), QStringList{QStringLiteral("0")});
    }

    void insertUpdateSelectDelete()
    {
        const QVariantList fields = {QStringLiteral("Title"), QStringLiteral("body")};
        QCOMPARE(m_db->insert(QStringLiteral("notes"), fields,
                              {{QStringLiteral("Title"), QStringLiteral("one")}, {QStringLiteral("body"), "a'b"}}),
                 1);
        QCOMPARE(m_db->get_LastInsertedId().toLongLong(), 1LL);
        QCOMPARE(m_db->insert(QStringLiteral("notes"), fields,
                              {{QStringLiteral("Title"), QStringLiteral("二")}, {QStringLiteral("body"), "x"}}),
                 1);
        QCOMPARE(m_db->get_LastInsertedId().toLongLong(), 2LL);

        QVariantList rows = m_db->select(QStringLiteral("select id, Title, body from notes order by id"));
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows.at(0).toMap().value(QStringLiteral("Title")).toString(), QStringLiteral("one"));
        QCOMPARE(rows.at(0).toMap().value(QStringLiteral("body")).toString(), QStringLiteral("a'b"));
        QCOMPARE(rows.at(1).toMap().value(QStringLiteral("Title")).toString(), QStringLiteral("二"));
        QVERIFY(!rows.at(0).toMap().contains(QStringLiteral("title")));

        QCOMPARE(m_db->update(QStringLiteral("notes"), QStringLiteral("id"), {QStringLiteral("body")},
                              {{QStringLiteral("id"), 2}, {QStringLiteral("body"), QStringLiteral("changed")}}),
                 1);
        QCOMPARE(m_db->update(QStringLiteral("notes"), QStringLiteral("id"), {QStringLiteral("body")},
                              {{QStringLiteral("id"), 99}, {QStringLiteral("body"), QStringLiteral("none")}}),
                 0);
        QCOMPARE(readBack(m_path, QStringLiteral("select body from notes where id=2")),
                 QStringList{QStringLiteral("changed")});

        QCOMPARE(m_db->del(QStringLiteral("notes"), QStringLiteral("id"), 1), 1);
        QCOMPARE(m_db->del(QStringLiteral("notes"), QStringLiteral("id"), 1), 0);
        QCOMPARE(readBack(m_path, QStringLiteral("select Title from notes")), QStringList{QStringLiteral("二")});
        QCOMPARE(m_db->get_LastError(), QString());
    }

    void fieldNameToLower()
    {
        m_db->insert(QStringLiteral("notes"), {QStringLiteral("Title")}, {{QStringLiteral("Title"), "t"}});
        QVERIFY(!m_db->get_FieldNameToLower());
        m_db->set_FieldNameToLower(true);
        QVERIFY(m_db->get_FieldNameToLower());
        const QVariantMap row = m_db->select(QStringLiteral("select Title, 1 AS MiXed from notes")).value(0).toMap();
        QCOMPARE(row.value(QStringLiteral("title")).toString(), QStringLiteral("t"));
        QCOMPARE(row.value(QStringLiteral("mixed")).toInt(), 1);
        QVERIFY(!row.contains(QStringLiteral("Title")));
    }

    void laterColumnOfTheSameNameWins()
    {
        const QVariantMap row = m_db->select(QStringLiteral("select 1 as a, 2 as a")).value(0).toMap();
        QCOMPARE(row.size(), 1);
        QCOMPARE(row.value(QStringLiteral("a")).toInt(), 2);
    }

    void dateValuesAreStoredAsLocalText()
    {
        const QDateTime utc = QDateTime::fromString(QStringLiteral("2024-02-29T23:30:05Z"), Qt::ISODate);
        const QString expected = utc.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        QCOMPARE(m_db->insert(QStringLiteral("notes"), {QStringLiteral("Title"), QStringLiteral("created")},
                              {{QStringLiteral("Title"), "d"}, {QStringLiteral("created"), utc}}),
                 1);
        QCOMPARE(readBack(m_path, QStringLiteral("select created from notes")), QStringList{expected});
        QCOMPARE(m_db->executeNonQuerySQL(QStringLiteral("update notes set created=@c"),
                                          {{QStringLiteral("c"), utc.addDays(1)}}),
                 1);
        QCOMPARE(readBack(m_path, QStringLiteral("select created from notes")),
                 QStringList{utc.addDays(1).toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))});
    }

    void selectNeedsTheWordSelect_data()
    {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<int>("rows");
        QTest::newRow("no select word") << "pragma table_info(notes)" << 0;
        QTest::newRow("upper case") << "SELECT * FROM notes" << 1;
        QTest::newRow("mixed case") << "SeLeCt Title from notes" << 1;
        QTest::newRow("word anywhere") << "with x as (select 1) select * from x" << 1;
    }

    void selectNeedsTheWordSelect()
    {
        QFETCH(QString, sql);
        QFETCH(int, rows);
        m_db->insert(QStringLiteral("notes"), {QStringLiteral("Title")}, {{QStringLiteral("Title"), "t"}});
        QCOMPARE(m_db->select(sql).size(), rows);
        QCOMPARE(m_db->get_LastError(), QString());
    }

    void placeholders_data()
    {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<QString>("key");
        QTest::newRow("at in sql, at key") << "select Title from notes where id=@id" << "@id";
        QTest::newRow("at in sql, bare key") << "select Title from notes where id=@id" << "id";
        QTest::newRow("colon in sql, bare key") << "select Title from notes where id=:id" << "id";
        QTest::newRow("colon in sql, at key") << "select Title from notes where id=:id" << "@id";
    }

    void placeholders()
    {
        QFETCH(QString, sql);
        QFETCH(QString, key);
        m_db->insert(QStringLiteral("notes"), {QStringLiteral("Title")}, {{QStringLiteral("Title"), "first"}});
        m_db->insert(QStringLiteral("notes"), {QStringLiteral("Title")}, {{QStringLiteral("Title"), "second"}});
        const QVariantList rows = m_db->select(sql, {{key, 2}});
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.at(0).toMap().value(QStringLiteral("Title")).toString(), QStringLiteral("second"));

        const QString update = QString(sql).replace(QStringLiteral("select Title from notes"),
                                                    QStringLiteral("update notes set body='b'"));
        QCOMPARE(m_db->executeNonQuerySQL(update, {{key, 1}}), 1);
        QCOMPARE(readBack(m_path, QStringLiteral("select id from notes where body='b'")),
                 QStringList{QStringLiteral("1")});
    }

    void queuedParameters()
    {
        m_db->insert(QStringLiteral("notes"), {QStringLiteral("Title")}, {{QStringLiteral("Title"), "a"}});
        m_db->insert(QStringLiteral("notes"), {QStringLiteral("Title")}, {{QStringLiteral("Title"), "b"}});
        m_db->addParameter(QStringLiteral("@t"), QStringLiteral("b"));
        // An insert does not consume the queue.
        QCOMPARE(m_db->insert(QStringLiteral("notes"), {QStringLiteral("Title")}, {{QStringLiteral("Title"), "c"}}), 1);
        // The queued value overrides the map key naming the same placeholder.
        QVariantList rows = m_db->select(QStringLiteral("select Title from notes where Title=@t"),
                                         {{QStringLiteral("t"), QStringLiteral("a")}});
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.at(0).toMap().value(QStringLiteral("Title")).toString(), QStringLiteral("b"));
        // Used once: the next statement sees only its own map.
        rows = m_db->select(QStringLiteral("select Title from notes where Title=:t"),
                            {{QStringLiteral("t"), QStringLiteral("a")}});
        QCOMPARE(rows.value(0).toMap().value(QStringLiteral("Title")).toString(), QStringLiteral("a"));

        m_db->addParameter(QStringLiteral("title"), QStringLiteral("c"));
        QCOMPARE(m_db->executeNonQuerySQL(QStringLiteral("delete from notes where Title=:title")), 1);
        QCOMPARE(readBack(m_path, QStringLiteral("select Title from notes order by id")),
                 (QStringList{QStringLiteral("a"), QStringLiteral("b")}));
    }

    void statementFailures_data()
    {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<QString>("stage");
        QTest::addColumn<QString>("driverText");
        QTest::newRow("unknown table") << "select * from nowhere" << QStringLiteral("准备") << "no such table";
        QTest::newRow("syntax") << "delete frm notes" << QStringLiteral("准备") << "syntax error";
        QTest::newRow("unique constraint") << "insert into notes (Title) values ('dup')" << QStringLiteral("执行")
                                           << "UNIQUE constraint failed";
    }

    void statementFailures()
    {
        QFETCH(QString, sql);
        QFETCH(QString, stage);
        QFETCH(QString, driverText);
        QCOMPARE(m_db->executeNonQuerySQL(QStringLiteral("insert into notes (Title) values ('dup')")), 1);
        const bool isSelect = sql.startsWith(QLatin1String("select"));
        if (isSelect)
            QCOMPARE(m_db->select(sql), QVariantList());
        else
            QCOMPARE(m_db->executeNonQuerySQL(sql), -1);
        const QString error = m_db->get_LastError();
        QVERIFY2(error.endsWith(QStringLiteral("，%1 SQL：\\n%2").arg(stage, sql)), qPrintable(error));
        QVERIFY2(error.contains(driverText), qPrintable(error));
        // The next call starts clean.
        QCOMPARE(m_db->select(QStringLiteral("select 1")).size(), 1);
        QCOMPARE(m_db->get_LastError(), QString());
    }

    void insertFailureKeepsTheText()
    {
        QCOMPARE(m_db->insert(QStringLiteral("notes"), {QStringLiteral("Title")}, {{QStringLiteral("Title"), "x"}}), 1);
        QCOMPARE(m_db->insert(QStringLiteral("notes"), {QStringLiteral("Title")}, {{QStringLiteral("Title"), "x"}}), -1);
        QVERIFY(m_db->get_LastError().endsWith(
            QStringLiteral("，执行 SQL：\\ninsert into notes (Title) values (:Title)")));
        QCOMPARE(m_db->insert(QStringLiteral("nowhere"), {QStringLiteral("a")}, {{QStringLiteral("a"), 1}}), -1);
        QVERIFY(m_db->get_LastError().contains(QStringLiteral("，准备 SQL：")));
    }

    void transactions_data()
    {
        QTest::addColumn<bool>("commit");
        QTest::addColumn<QString>("expected");
        QTest::newRow("commit keeps") << true << "3";
        QTest::newRow("rollback discards") << false << "0";
    }

    void transactions()
    {
        QFETCH(bool, commit);
        QFETCH(QString, expected);
        m_db->beginTransaction();
        QCOMPARE(m_db->get_LastError(), QString());
        for (int i = 0; i < 3; ++i)
            QCOMPARE(m_db->insert(QStringLiteral("notes"), {QStringLiteral("Title")},
                                  {{QStringLiteral("Title"), QString::number(i)}}),
                     1);
        if (commit)
            m_db->commitTransaction();
        else
            m_db->rollbackTransaction();
        QCOMPARE(m_db->get_LastError(), QString());
        QCOMPARE(readBack(m_path, QStringLiteral("select count(*) from notes")), QStringList{expected});
        // The flag is cleared: a second end has nothing to end.
        m_db->commitTransaction();
        QCOMPARE(m_db->get_LastError(), QStringLiteral("还没有 beginTransaction"));
    }

    // Many rows in one call: all of them in one transaction, none of them after a failing row.
    void manyRowsInOneCall_data()
    {
        QTest::addColumn<bool>("sql");
        QTest::addColumn<QStringList>("titles");
        QTest::addColumn<bool>("pageTransaction");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("count");
        QTest::addColumn<QString>("error");
        const QStringList three{"a", "b", "c"};
        const QStringList duplicate{"a", "b", "a"};
        QTest::newRow("insert rows") << false << three << false << 3 << "3" << "";
        QTest::newRow("statement rows") << true << three << false << 3 << "3" << "";
        QTest::newRow("failing row undoes the call") << false << duplicate << false << -1 << "0" << "第 2 行：";
        QTest::newRow("failing statement row") << true << duplicate << false << -1 << "0" << "第 2 行：";
        QTest::newRow("page's transaction keeps earlier rows") << false << duplicate << true << -1 << "2" << "第 2 行：";
        QTest::newRow("no rows") << false << QStringList() << false << -1 << "0" << "参数 rows 不能为空";
    }

    void manyRowsInOneCall()
    {
        QFETCH(bool, sql);
        QFETCH(QStringList, titles);
        QFETCH(bool, pageTransaction);
        QFETCH(int, result);
        QFETCH(QString, count);
        QFETCH(QString, error);
        QVariantList rows;
        for (const QString &title : titles)
            rows << QVariantMap{{QStringLiteral("Title"), title}};
        if (pageTransaction)
            m_db->beginTransaction();
        const int affected = sql ? m_db->executeNonQuerySQLRows(QStringLiteral("insert into notes (Title) values (@Title)"), rows)
                                 : m_db->insertRows(QStringLiteral("notes"), {QStringLiteral("Title")}, rows);
        QCOMPARE(affected, result);
        QVERIFY2(error.isEmpty() ? m_db->get_LastError().isEmpty() : m_db->get_LastError().startsWith(error),
                 qPrintable(m_db->get_LastError()));
        if (pageTransaction)
            m_db->commitTransaction();
        QCOMPARE(readBack(m_path, QStringLiteral("select count(*) from notes")), QStringList{count});
    }

    void endWithoutBegin_data()
    {
        QTest::addColumn<bool>("commit");
        QTest::newRow("commit") << true;
        QTest::newRow("rollback") << false;
    }

    void endWithoutBegin()
    {
        QFETCH(bool, commit);
        commit ? m_db->commitTransaction() : m_db->rollbackTransaction();
        QCOMPARE(m_db->get_LastError(), QStringLiteral("还没有 beginTransaction"));
    }

    void refusedBeginIsReported()
    {
        m_db->beginTransaction();
        m_db->beginTransaction();
        QVERIFY(!m_db->get_LastError().isEmpty());
        m_db->rollbackTransaction();
        QCOMPARE(m_db->get_LastError(), QString());
    }

    void twoObjectsOnTwoFilesStayIndependent()
    {
        const QString other = makeDbFile(m_dir.filePath(QStringLiteral("other.db")), NotesSchema);
        QVERIFY(!other.isEmpty());
        ClientDb second;
        second.set_DbName(other);
        QCOMPARE(second.get_LastError(), QString());
        QVERIFY(second.connectionName() != m_db->connectionName());

        QCOMPARE(m_db->insert(QStringLiteral("notes"), {QStringLiteral("Title")}, {{QStringLiteral("Title"), "1st"}}), 1);
        QCOMPARE(second.insert(QStringLiteral("notes"), {QStringLiteral("Title")}, {{QStringLiteral("Title"), "2nd"}}), 1);
        QCOMPARE(m_db->select(QStringLiteral("select Title from notes")).size(), 1);
        QCOMPARE(readBack(m_path, QStringLiteral("select Title from notes")), QStringList{QStringLiteral("1st")});
        QCOMPARE(readBack(other, QStringLiteral("select Title from notes")), QStringList{QStringLiteral("2nd")});

        // Closing one leaves the other working.
        second.closeDb();
        QVERIFY(!QSqlDatabase::contains(second.connectionName()));
        QCOMPARE(m_db->insert(QStringLiteral("notes"), {QStringLiteral("Title")}, {{QStringLiteral("Title"), "3rd"}}), 1);
        QCOMPARE(second.insert(QStringLiteral("notes"), {QStringLiteral("Title")}, {{QStringLiteral("Title"), "4th"}}), -1);
        QCOMPARE(readBack(other, QStringLiteral("select count(*) from notes")), QStringList{QStringLiteral("1")});
    }

    void connectionIsRemovedOnDestruction()
    {
        const QString other = makeDbFile(m_dir.filePath(QStringLiteral("own.db")), NotesSchema);
        QString name;
        {
            ClientDb db;
            db.set_DbName(other);
            name = db.connectionName();
            QVERIFY(QSqlDatabase::contains(name));
        }
        QVERIFY(!QSqlDatabase::contains(name));
        QVERIFY(QSqlDatabase::contains(m_db->connectionName()));
    }

    // However the page names the file, objects on it share one connection and its transaction:
    // the second object neither waits for the first one's lock nor fails with "database is locked".
    void sameFileSharesOneConnection_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("same path") << "same";
        QTest::newRow("dot slash") << "dot";
        QTest::newRow("dot dot") << "dotdot";
        QTest::newRow("symbolic link") << "link";
        QTest::newRow("relative beside the program") << "relative";
    }

    void sameFileSharesOneConnection()
    {
        QFETCH(QString, name);
        QString path = m_path;
        QString given = m_path;
        const QString fileName = QFileInfo(m_path).fileName();
        if (name == QLatin1String("dot")) {
            given = m_dir.path() + QStringLiteral("/./") + fileName;
        } else if (name == QLatin1String("dotdot")) {
            QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("sub")));
            given = m_dir.path() + QStringLiteral("/sub/../") + fileName;
        } else if (name == QLatin1String("link")) {
            given = m_dir.filePath(QStringLiteral("link.db"));
            QFile::remove(given);
            QVERIFY(QFile::link(m_path, given));
        } else if (name == QLatin1String("relative")) {
            // "x.db" and "./x.db" beside the program.
            path = applicationDir() + QStringLiteral("/tst_clientdb-shared.db");
            QFile::remove(path);
            QVERIFY(!makeDbFile(path, NotesSchema).isEmpty());
            m_db->set_DbName(QStringLiteral("tst_clientdb-shared.db"));
            QCOMPARE(m_db->get_LastError(), QString());
            given = QStringLiteral("./tst_clientdb-shared.db");
        }
        ClientDb second;
        second.set_DbName(given);
        QCOMPARE(second.get_LastError(), QString());
        QCOMPARE(second.connectionName(), m_db->connectionName());

        m_db->beginTransaction();
        QCOMPARE(m_db->get_LastError(), QString());
        QCOMPARE(m_db->insert(QStringLiteral("notes"), {QStringLiteral("Title")}, {{QStringLiteral("Title"), "first"}}), 1);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(second.insert(QStringLiteral("notes"), {QStringLiteral("Title")}, {{QStringLiteral("Title"), "second"}}),
                 1);
        QCOMPARE(second.get_LastError(), QString());
        QVERIFY2(timer.elapsed() < 2000, "the second object waited for a lock");
        // It sees the open transaction's row, and the transaction is one: either object ends it.
        QCOMPARE(second.select(QStringLiteral("select Title from notes")).size(), 2);
        second.commitTransaction();
        QCOMPARE(second.get_LastError(), QString());
        m_db->commitTransaction();
        QCOMPARE(m_db->get_LastError(), QStringLiteral("还没有 beginTransaction"));
        QCOMPARE(readBack(path, QStringLiteral("select count(*) from notes")), QStringList{QStringLiteral("2")});

        // The connection lives as long as one object uses it.
        m_db->closeDb();
        QVERIFY(QSqlDatabase::contains(second.connectionName()));
        QCOMPARE(second.insert(QStringLiteral("notes"), {QStringLiteral("Title")}, {{QStringLiteral("Title"), "third"}}), 1);
        second.closeDb();
        QVERIFY(!QSqlDatabase::contains(second.connectionName()));
        QCOMPARE(readBack(path, QStringLiteral("select count(*) from notes")), QStringList{QStringLiteral("3")});
        if (name == QLatin1String("relative"))
            QFile::remove(path);
    }

    // A refused commit leaves SQLite's transaction open; the page can still roll it back.
    void refusedCommitKeepsTheTransaction()
    {
        QCOMPARE(m_db->executeNonQuerySQL(QStringLiteral("create table parent (id integer primary key)")), 0);
        QCOMPARE(m_db->executeNonQuerySQL(QStringLiteral(
                     "create table child (pid integer references parent(id) deferrable initially deferred)")),
                 0);
        QVERIFY(m_db->executeNonQuerySQL(QStringLiteral("pragma foreign_keys = on")) >= 0);
        m_db->beginTransaction();
        QCOMPARE(m_db->insert(QStringLiteral("child"), {QStringLiteral("pid")}, {{QStringLiteral("pid"), 99}}), 1);
        m_db->commitTransaction();
        QVERIFY2(m_db->get_LastError().contains(QStringLiteral("FOREIGN KEY")), qPrintable(m_db->get_LastError()));
        m_db->rollbackTransaction();
        QCOMPARE(m_db->get_LastError(), QString());
        QCOMPARE(readBack(m_path, QStringLiteral("select count(*) from child")), QStringList{QStringLiteral("0")});
        // Ended now: a new transaction begins cleanly and commits.
        m_db->beginTransaction();
        QCOMPARE(m_db->get_LastError(), QString());
        QCOMPARE(m_db->insert(QStringLiteral("parent"), {QStringLiteral("id")}, {{QStringLiteral("id"), 1}}), 1);
        m_db->commitTransaction();
        QCOMPARE(m_db->get_LastError(), QString());
        QCOMPARE(readBack(m_path, QStringLiteral("select count(*) from parent")), QStringList{QStringLiteral("1")});
    }

    void parameterMarkers_data()
    {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<QString>("expected");
        QTest::newRow("marker") << "select * from t where a=@a" << "select * from t where a=:a";
        QTest::newRow("colon kept") << "select * from t where a=:a" << "select * from t where a=:a";
        QTest::newRow("string literal") << "insert into t values ('a@b.com', @b)" << "insert into t values ('a@b.com', :b)";
        QTest::newRow("doubled quote") << "select 'it''s @x' || @y" << "select 'it''s @x' || :y";
        QTest::newRow("quoted name") << "select \"a@b\" from t where c=@c" << "select \"a@b\" from t where c=:c";
        QTest::newRow("backtick name") << "select `a@b` from t" << "select `a@b` from t";
        QTest::newRow("bracket name") << "select [a@b] from t where x=@x" << "select [a@b] from t where x=:x";
        QTest::newRow("line comment") << "select @a -- mail me@home\n, @b" << "select :a -- mail me@home\n, :b";
        QTest::newRow("block comment") << "select /* @x */ @y" << "select /* @x */ :y";
        QTest::newRow("open literal") << "select 'a@b" << "select 'a@b";
        QTest::newRow("open comment") << "select @a /* @b" << "select :a /* @b";
        QTest::newRow("chinese") << "select '邮件@地址', @参数" << "select '邮件@地址', :参数";
        QTest::newRow("empty") << "" << "";
        // SQLite reads "@q::(@i)" as one parameter of that name: nothing inside it is a marker.
        QTest::newRow("name with a parenthesised suffix") << "select @a, @q::(@i), $t(@u) from t where x=@x"
                                                          << "select :a, :q::(@i), $t(@u) from t where x=:x";
        QTest::newRow("suffix ends at a blank") << "select @a(@b @c)" << "select :a(@b :c)";
        QTest::newRow("pair of markers read as written") << "select @a@@b(@c)" << "select :a::b(@c)";
    }

    void parameterMarkers()
    {
        QFETCH(QString, sql);
        QFETCH(QString, expected);
        QCOMPARE(ClientDb::rewriteParameterMarkers(sql), expected);
    }

    void atSignsInTextAreStored_data()
    {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<bool>("bindsT");
        QTest::addColumn<QString>("stored");
        QTest::newRow("literal") << "insert into notes (Title) values ('a@b.com')" << false << "a@b.com";
        QTest::newRow("literal and marker") << "insert into notes (Title, body) values ('x@y' || @t, 'b')" << true
                                            << "x@ytail";
        QTest::newRow("comment") << "insert into notes (Title) values (@t) -- @t is the title" << true << "tail";
    }

    void atSignsInTextAreStored()
    {
        QFETCH(QString, sql);
        QFETCH(bool, bindsT);
        QFETCH(QString, stored);
        const QVariantMap params = bindsT ? QVariantMap{{QStringLiteral("t"), QStringLiteral("tail")}} : QVariantMap();
        QCOMPARE(m_db->executeNonQuerySQL(sql, params), 1);
        QCOMPARE(m_db->get_LastError(), QString());
        QCOMPARE(readBack(m_path, QStringLiteral("select Title from notes")), QStringList{stored});
        const QVariantList rows = m_db->select(QStringLiteral("select Title from notes where Title = '%1' and @x = 1")
                                                   .arg(stored),
                                               {{QStringLiteral("x"), 1}});
        QCOMPARE(rows.size(), 1);
    }

    void namingAnotherFileMovesTheObject()
    {
        const QString other = makeDbFile(m_dir.filePath(QStringLiteral("moved.db")), NotesSchema);
        m_db->beginTransaction();
        QCOMPARE(m_db->insert(QStringLiteral("notes"), {QStringLiteral("Title")}, {{QStringLiteral("Title"), "open"}}), 1);
        // The same file again changes nothing, the transaction goes on.
        m_db->set_DbName(m_path);
        m_db->commitTransaction();
        QCOMPARE(m_db->get_LastError(), QString());
        QCOMPARE(readBack(m_path, QStringLiteral("select count(*) from notes")), QStringList{QStringLiteral("1")});

        m_db->beginTransaction();
        QCOMPARE(m_db->insert(QStringLiteral("notes"), {QStringLiteral("Title")}, {{QStringLiteral("Title"), "lost"}}), 1);
        m_db->set_DbName(other);
        QCOMPARE(m_db->get_DbName(), other);
        QCOMPARE(m_db->insert(QStringLiteral("notes"), {QStringLiteral("Title")}, {{QStringLiteral("Title"), "new"}}), 1);
        // Closing ended the old transaction without committing it.
        QCOMPARE(readBack(m_path, QStringLiteral("select count(*) from notes")), QStringList{QStringLiteral("1")});
        QCOMPARE(readBack(other, QStringLiteral("select Title from notes")), QStringList{QStringLiteral("new")});
        m_db->commitTransaction();
        QCOMPARE(m_db->get_LastError(), QStringLiteral("还没有 beginTransaction"));

        // A missing file closes the old one too: nothing goes to a file DbName does not name.
        const QString missing = m_dir.filePath(QStringLiteral("gone.db"));
        m_db->set_DbName(missing);
        QCOMPARE(m_db->get_LastError(), QStringLiteral("数据库 %0 不存在").arg(missing));
        QCOMPARE(m_db->insert(QStringLiteral("notes"), {QStringLiteral("Title")}, {{QStringLiteral("Title"), "x"}}), -1);
        QCOMPARE(readBack(other, QStringLiteral("select count(*) from notes")), QStringList{QStringLiteral("1")});
    }

    void repeatedStatementsFollowSchemaChanges()
    {
        const QVariantList fields = {QStringLiteral("Title")};
        for (int i = 0; i < 3; ++i)
            QCOMPARE(m_db->insert(QStringLiteral("notes"), fields, {{QStringLiteral("Title"), QString::number(i)}}), 1);
        QVERIFY(m_db->executeNonQuerySQL(QStringLiteral("drop table notes")) >= 0);
        QCOMPARE(m_db->insert(QStringLiteral("notes"), fields, {{QStringLiteral("Title"), "x"}}), -1);
        QVERIFY(m_db->executeNonQuerySQL(QStringLiteral("create table notes (Title text, extra text default 'e')")) >= 0);
        QCOMPARE(m_db->insert(QStringLiteral("notes"), fields, {{QStringLiteral("Title"), "y"}}), 1);
        QCOMPARE(readBack(m_path, QStringLiteral("select Title || extra from notes")), QStringList{QStringLiteral("ye")});
        // A missing value binds null, not the previous call's value.
        QCOMPARE(m_db->insert(QStringLiteral("notes"), fields, {{QStringLiteral("Other"), "z"}}), 1);
        QCOMPARE(readBack(m_path, QStringLiteral("select count(*) from notes where Title is null")),
                 QStringList{QStringLiteral("1")});
    }

    void closedObjectFailsInPrepare()
    {
        m_db->closeDb();
        QCOMPARE(m_db->select(QStringLiteral("select 1")), QVariantList());
        QVERIFY(m_db->get_LastError().endsWith(QStringLiteral("，准备 SQL：\\nselect 1")));
        m_db->closeDb();
        m_db->set_DbName(m_path);
        QCOMPARE(m_db->select(QStringLiteral("select 1")).size(), 1);
    }
};

QTEST_GUILESS_MAIN(tst_ClientDb)
#include "tst_clientdb.moc"
