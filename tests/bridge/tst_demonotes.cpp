#include "bridge/clientdb.h"
#include "core/fileutils.h"
#include "browser/host.h"
#include "bridge/kavofactory.h"
#include "browser/pageevent.h"
#include "tests/pagescript.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <memory>

// The demo's notes page in a real page, on a database made from the demo's own schema with the
// sqlite3 shell: add, list, remove, and the notes are still there when the page loads again.
class tst_DemoNotes : public QObject
{
    Q_OBJECT
private:
    QString m_dbPath;
    std::unique_ptr<WebView> m_view;
    std::unique_ptr<KavoFactory> m_factory;

    QVariant js(const QString &script) { return PageScript::evaluate(m_view.get(), script); }

    bool load()
    {
        // A new page load gets a new set of bridge objects, as in a window.
        m_view.reset();
        m_factory.reset(new KavoFactory);
        m_view.reset(WebView::create());
        PageScript::publish(m_view.get(), QStringLiteral("KavoFactory"), m_factory.get());
        return PageScript::load(m_view.get(), QUrl::fromLocalFile(qEnvironmentVariable("KAVO_SOURCE_DIR")
                                                                  + QStringLiteral("/demo/notes.html")));
    }

    QStringList notes()
    {
        return js(QStringLiteral("Array.prototype.map.call(document.querySelectorAll('#notes li .text'),"
                                 " function (e) { return e.textContent; })"))
            .toStringList();
    }

    void add(const QString &text)
    {
        js(QStringLiteral("document.querySelector('#text').value = '%1';").arg(PageEvent::escapeScriptString(text)));
        js(QStringLiteral("document.querySelector('#add button').click()"));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(Host::instance().registerCreator(QStringLiteral("ClientDb"), [] { return new ClientDb; }));
        // The notes page is opened from the disk, as the application's own: its folder is trusted.
        BrowserContext::setTrustedOrigins(
            {QUrl::fromLocalFile(qEnvironmentVariable("KAVO_SOURCE_DIR") + QStringLiteral("/demo/notes.html")).toString()});
        m_dbPath = absolutePath(QStringLiteral("data/demo.db"));
        QDir().mkpath(QFileInfo(m_dbPath).path());
        QFile::remove(m_dbPath);
        QProcess sqlite;
        sqlite.start(QStringLiteral("sqlite3"),
                     {m_dbPath, QStringLiteral(".read ") + qEnvironmentVariable("KAVO_SOURCE_DIR")
                          + QStringLiteral("/demo/notes.sql")});
        QVERIFY(sqlite.waitForFinished(10000));
        QCOMPARE(sqlite.exitCode(), 0);
    }

    void cleanupTestCase()
    {
        m_view.reset();
        m_factory.reset();
        QFile::remove(m_dbPath);
    }

    void notesAreAddedListedRemovedAndKept()
    {
        QVERIFY(load());
        QCOMPARE(js(QStringLiteral("document.getElementById('status').textContent")).toString(), QString());
        QCOMPARE(notes().size(), 1);

        add(QStringLiteral("买牛奶"));
        add(QStringLiteral("it's <b>not</b> markup"));
        QCOMPARE(notes(), (QStringList{QStringLiteral("it's <b>not</b> markup"), QStringLiteral("买牛奶"),
                                       notes().value(2)}));
        // An empty note is refused with a message, nothing stored.
        add(QString());
        QCOMPARE(js(QStringLiteral("document.getElementById('status').textContent")).toString(),
                 QStringLiteral("笔记不能为空。"));
        QCOMPARE(notes().size(), 3);

        QVERIFY(load());
        QCOMPARE(notes().size(), 3);
        QCOMPARE(notes().at(1), QStringLiteral("买牛奶"));

        // Remove the newest one; the others stay, also after another load.
        js(QStringLiteral("document.querySelector('#notes li button').click()"));
        QCOMPARE(notes().size(), 2);
        QVERIFY(load());
        QCOMPARE(notes().value(0), QStringLiteral("买牛奶"));
        QCOMPARE(notes().size(), 2);
    }

    void missingDatabaseIsShown()
    {
        QVERIFY(QFile::rename(m_dbPath, m_dbPath + QStringLiteral(".away")));
        const bool loaded = load();
        const bool created = QFileInfo::exists(m_dbPath);
        QFile::remove(m_dbPath);
        QFile::rename(m_dbPath + QStringLiteral(".away"), m_dbPath);
        QVERIFY(loaded);
        QVERIFY(!created);
        QCOMPARE(js(QStringLiteral("document.getElementById('status').textContent")).toString(),
                 QStringLiteral("数据库 data/demo.db 不存在"));
        QCOMPARE(notes(), QStringList());
    }
};

QTEST_MAIN(tst_DemoNotes)
#include "tst_demonotes.moc"
