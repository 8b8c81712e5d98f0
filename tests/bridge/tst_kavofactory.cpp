#include "bridge/clientdb.h"
#include "browser/host.h"
#include "bridge/kavofactory.h"
#include "tests/pagescript.h"

#include <QFile>
#include <QPointer>
#include <QTemporaryDir>
#include <QWidget>
#include <QtTest>

// The factory and the database it makes, driven from a real page as a web application would.
class tst_KavoFactory : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    WebView *m_view = nullptr;
    KavoFactory *m_factory = nullptr;

    QVariant js(const QString &script) { return PageScript::evaluate(m_view, script); }

    QString makeDb(const QString &name)
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        return path;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(Host::instance().registerCreator(QStringLiteral("ClientDb"), [] { return new ClientDb; }));
        QVERIFY(Host::instance().registerCreator(QStringLiteral("Widget"), [] { return new QWidget; }));
        // A second registration keeps the first creator.
        QVERIFY(!Host::instance().registerCreator(QStringLiteral("ClientDb"), [] { return new QObject; }));
    }

    void init()
    {
        m_view = WebView::create();
        m_factory = new KavoFactory;
        PageScript::publish(m_view, QStringLiteral("KavoFactory"), m_factory);
        QVERIFY(PageScript::showTrusted(m_view, QStringLiteral("<html><body>test</body></html>")));
    }

    void cleanup()
    {
        delete m_view;
        delete m_factory;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void typeNames_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<bool>("created");
        QTest::newRow("ClientDb") << "ClientDb" << true;
        QTest::newRow("lower case") << "clientdb" << false;
        QTest::newRow("upper case") << "CLIENTDB" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("unknown") << "Nothing" << false;
        QTest::newRow("padded") << " ClientDb" << false;
        // Longer than a message the engine carries in one piece.
        QTest::newRow("long") << QStringLiteral("ClientDb").repeated(3000) << false;
    }

    void typeNames()
    {
        QFETCH(QString, type);
        QFETCH(bool, created);
        const QVariant isNull = js(QStringLiteral("KavoFactory.createObject('%1') === null").arg(type));
        QCOMPARE(isNull.toBool(), !created);
        QCOMPARE(m_factory->liveObjectCount(), created ? 1 : 0);
    }

    void eachCallGivesAnIndependentDatabase()
    {
        const QString a = makeDb(QStringLiteral("a.db"));
        const QString b = makeDb(QStringLiteral("b.db"));
        const QVariant result = js(QStringLiteral(
            "var d1 = KavoFactory.createObject('ClientDb'); var d2 = KavoFactory.createObject('ClientDb');"
            "d1.set_DbName('%1'); d2.set_DbName('%2');"
            "d1.executeNonQuerySQL('create table t (v text)'); d2.executeNonQuerySQL('create table t (v text)');"
            "d1.insert('t', ['v'], {v: 'one'}); d2.insert('t', ['v'], {v: 'two'}); d2.insert('t', ['v'], {v: 'three'});"
            "[d1 !== d2, d1.select('select v from t').length, d2.select('select v from t').length].join(',')")
                                   .arg(a, b));
        QCOMPARE(result.toString(), QStringLiteral("true,1,2"));
        QCOMPARE(m_factory->liveObjectCount(), 2);
    }

    void pageUsesTheDatabase()
    {
        const QString path = makeDb(QStringLiteral("page.db"));
        const QVariant result = js(QStringLiteral(
            "var db = KavoFactory.createObject('ClientDb'); db.set_DbName('%1');"
            "var out = [];"
            "out.push(db.executeNonQuerySQL('create table Notes (Id integer primary key, Text text, At text)'));"
            "db.beginTransaction();"
            "out.push(db.insert('Notes', ['Text', 'At'], {Text: \"it's 中文\", At: new Date(2024, 0, 2, 3, 4, 5)}));"
            "out.push(db.insert('Notes', ['Text'], {Text: 'second'}));"
            "db.commitTransaction();"
            "out.push(db.get_LastInsertedId());"
            "out.push(db.update('Notes', 'Id', ['Text'], {Id: 2, Text: 'changed'}));"
            "var rows = db.select('select * from Notes where Id = @id', {id: 1});"
            "out.push(rows.length, rows[0].Text, rows[0].At);"
            "db.set_FieldNameToLower(true);"
            "out.push(db.select('SELECT Text FROM Notes where Id=2')[0].text);"
            "db.addParameter('@id', 2);"
            "out.push(db.executeNonQuerySQL('delete from Notes where Id=@id'));"
            "out.push(db.del('Notes', 'Id', 1));"
            "out.push(db.select('select count(*) as n from Notes')[0].n);"
            "out.push(db.insert('Notes', [], {}), db.get_LastError());"
            "db.rollbackTransaction(); out.push(db.get_LastError());"
            "db.set_DbName('%2'); out.push(db.get_LastError());"
            "out.join('|')")
                                   .arg(path, m_dir.filePath(QStringLiteral("missing.db"))));
        QCOMPARE(result.toString(),
                 QStringLiteral("0|1|1|2|1|1|it's 中文|2024-01-02 03:04:05|changed|1|1|0|-1|参数 field 不能为空|"
                                "还没有 beginTransaction|数据库 %1 不存在")
                     .arg(m_dir.filePath(QStringLiteral("missing.db"))));
    }

    void createdObjectsGoWithTheFactory()
    {
        QPointer<QObject> db = m_factory->createObject(QStringLiteral("ClientDb"));
        QPointer<QObject> gone = m_factory->createObject(QStringLiteral("ClientDb"));
        QPointer<QObject> shown = m_factory->createObject(QStringLiteral("Widget"));
        QPointer<QObject> unshown = m_factory->createObject(QStringLiteral("Widget"));
        QVERIFY(db && gone && shown && unshown);
        QVERIFY(!db->parent());
        QVERIFY(!shown->parent());
        QCOMPARE(m_factory->liveObjectCount(), 4);
        // Objects that went on their own are not deleted again.
        delete gone.data();
        QCOMPARE(m_factory->liveObjectCount(), 3);
        // Shown once, a window is the user's, also when hidden again.
        static_cast<QWidget *>(shown.data())->show();
        static_cast<QWidget *>(shown.data())->hide();
        QCOMPARE(m_factory->liveObjectCount(), 2);
        delete m_factory;
        m_factory = nullptr;
        QVERIFY(!db);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        // A window the page never showed cannot be reached by a later page; one it showed stays.
        QVERIFY(!unshown);
        QVERIFY(shown);
        delete shown.data();
    }

    void reloadsDoNotLeakObjects()
    {
        // As the window does on each new script environment: the old set goes, and with it
        // everything its page made.
        QList<QPointer<QObject>> made;
        for (int i = 0; i < 5; ++i) {
            KavoFactory factory;
            made << factory.createObject(QStringLiteral("ClientDb")) << factory.createObject(QStringLiteral("ClientDb"));
            QCOMPARE(factory.liveObjectCount(), 2);
        }
        QCOMPARE(made.size(), 10);
        for (const QPointer<QObject> &object : made)
            QVERIFY(!object);
    }
};

QTEST_MAIN(tst_KavoFactory)
#include "tst_kavofactory.moc"
