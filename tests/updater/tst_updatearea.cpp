#include "core/installjournal.h"
#include "core/updatearea.h"
#include "updater/updatedialog.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

// The download directory rules and the dialog's wait rule.
class tst_UpdateArea : public QObject
{
    Q_OBJECT
private slots:
    void downloadDir_data()
    {
        QTest::addColumn<QString>("app");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("dir");
        QTest::newRow("plain") << "Shop" << "5.2" << "data/update/Shop/5.2";
        QTest::newRow("parent version") << "Shop" << ".." << "";
        QTest::newRow("path in version") << "Shop" << "5.2/../../x" << "";
        QTest::newRow("letters") << "Shop" << "1.a" << "";
        QTest::newRow("empty version") << "Shop" << "" << "";
        QTest::newRow("app with slash") << "a/b" << "5.2" << "";
        QTest::newRow("app dot-dot") << ".." << "5.2" << "";
    }
    void downloadDir()
    {
        QFETCH(QString, app);
        QFETCH(QString, version);
        QFETCH(QString, dir);
        QCOMPARE(UpdateArea::downloadDir(app, version), dir);
    }

    void packageFileName_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("name");
        QTest::newRow("plain") << "http://h/x/pkg.zip" << "pkg.zip";
        QTest::newRow("trailing slash") << "http://h/x/" << "";
        QTest::newRow("dot") << "http://h/x/." << "";
        QTest::newRow("dot-dot") << "http://h/x/.." << "";
        QTest::newRow("no slash") << "pkg.zip" << "pkg.zip";
    }
    void packageFileName()
    {
        QFETCH(QString, url);
        QFETCH(QString, name);
        QCOMPARE(UpdateArea::packageFileName(url), name);
    }

    void applicationRoot_data()
    {
        QTest::addColumn<QString>("dir");
        QTest::addColumn<QString>("root");
        QTest::newRow("plain") << "/opt/App/data/update/Shop/5.2/tmp" << "/opt/App";
        QTest::newRow("under /data") << "/data/App/data/update/Shop/5.2/tmp" << "/data/App";
        QTest::newRow("under /database") << "/database/App/data/update/Shop/5.2/tmp" << "/database/App";
        QTest::newRow("no update tree") << "/opt/App/data/x" << "";
    }
    void applicationRoot()
    {
        QFETCH(QString, dir);
        QFETCH(QString, root);
        QCOMPARE(UpdateArea::applicationRoot(dir), root);
    }

    void fileDelay_data()
    {
        QTest::addColumn<int>("files");
        QTest::addColumn<int>("delay");
        QTest::newRow("none") << 0 << 0;
        QTest::newRow("four") << 4 << 250;
        QTest::newRow("three") << 3 << 333;
        QTest::newRow("100") << 100 << 10;
        QTest::newRow("101") << 101 << 0;
        QTest::newRow("200") << 200 << 0;
    }
    void fileDelay()
    {
        QFETCH(int, files);
        QFETCH(int, delay);
        QCOMPARE(UpdateDialog::fileDelayFor(files), delay);
    }

    // The journal lies on disk between runs: what a later run reads back is checked first.
    void journalRefusesWhatItDidNotWrite_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("loads");
        const QByteArray head = "KavoInstallJournal 1\nstate installing\nversion 5.2\n";
        QTest::newRow("plain") << head + "dir data/new\nfile 0 data/new/a.txt\nfile 1 Kavo.V5\n" << true;
        QTest::newRow("encoded space") << head + "file 1 data/a%20b.txt\n" << true;
        QTest::newRow("parent path") << head + "file 1 ../outside\n" << false;
        QTest::newRow("encoded parent path") << head + "file 1 data/%2E%2E/%2E%2E/x\n" << false;
        QTest::newRow("absolute path") << head + "file 1 /etc/passwd\n" << false;
        QTest::newRow("empty element") << head + "file 1 data//x\n" << false;
        QTest::newRow("parent directory") << head + "dir ..\n" << false;
        QTest::newRow("bad flag") << head + "file 2 x\n" << false;
        QTest::newRow("unknown state") << QByteArray("KavoInstallJournal 1\nstate halfway\n") << false;
        QTest::newRow("no state") << QByteArray("KavoInstallJournal 1\nversion 5.2\n") << false;
        QTest::newRow("other file") << QByteArray("<Tasks/>\n") << false;
        QTest::newRow("unknown line") << head + "remove everything\n" << false;
    }
    void journalRefusesWhatItDidNotWrite()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, loads);
        QTemporaryDir dir;
        QFile file(dir.filePath(InstallJournal::fileName()));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
        file.close();
        InstallJournal journal(dir.path());
        QCOMPARE(journal.load(), loads);
    }

    // A journal written and read back; its rollback, run twice, puts the originals back,
    // removes what was added and leaves directories that hold anything else.
    void journalRollsBackTwice()
    {
        QTemporaryDir root;
        const QString dl = root.filePath(QStringLiteral("data/update/Shop/5.2"));
        InstallJournal journal(dl);
        journal.version = QStringLiteral("5.2");
        journal.createdDirs << QStringLiteral("new") << QStringLiteral("new/deeper");
        journal.entries.append({QStringLiteral("kept file.txt"), true});
        journal.entries.append({QStringLiteral("new/deeper/added.txt"), false});
        QVERIFY(journal.save());
        auto write = [](const QString &path, const QByteArray &data) {
            QDir().mkpath(QFileInfo(path).absolutePath());
            QFile f(path);
            return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
        };
        QVERIFY(write(journal.backupOf(QStringLiteral("kept file.txt")), "original"));
        QVERIFY(write(root.filePath(QStringLiteral("kept file.txt")), "replacement"));
        QVERIFY(write(root.filePath(QStringLiteral("new/deeper/added.txt")), "added"));
        QVERIFY(write(root.filePath(QStringLiteral("new/user.txt")), "the user's"));

        InstallJournal read(dl);
        QVERIFY(read.load());
        QCOMPARE(read.entries.size(), 2);
        QCOMPARE(read.entries.at(0).relative, QStringLiteral("kept file.txt"));
        QVERIFY(read.entries.at(0).hadOld);
        QCOMPARE(read.createdDirs, journal.createdDirs);
        for (int run = 0; run < 2; ++run) {
            QVERIFY(read.rollback(root.path()));
            QFile kept(root.filePath(QStringLiteral("kept file.txt")));
            QVERIFY(kept.open(QIODevice::ReadOnly));
            QCOMPARE(kept.readAll(), QByteArray("original"));
            QVERIFY(!QFileInfo::exists(root.filePath(QStringLiteral("new/deeper"))));
            QVERIFY(QFileInfo::exists(root.filePath(QStringLiteral("new/user.txt"))));
        }
    }

    // What a start finds in the update area before anything else runs. An unreadable journal
    // stops it; a backup folder that no journal explains is set aside, not left to block every
    // later update of its version; one lock covers every version of the installation.
    void repairAtStart_data()
    {
        QTest::addColumn<QStringList>("files"); // "path=content" below data/update/Shop
        QTest::addColumn<bool>("lockHeld");      // as by an installer of another version
        QTest::addColumn<int>("result");
        QTest::addColumn<QStringList>("gone");
        QTest::addColumn<QStringList>("kept");
        QTest::addColumn<QString>("setAside"); // a file the set-aside backup must hold
        const QString installed = QStringLiteral("KavoInstallJournal 1\nstate installed\nversion 5.2\nfile 1 Kavo.V5\n");
        QTest::newRow("installation that ended")
            << QStringList{"5.2/install.journal=" + installed, "5.2/backup/Kavo.V5=original"} << false
            << int(InstallRepair::Result::Repaired) << QStringList{"5.2/install.journal", "5.2/backup"} << QStringList()
            << QString();
        QTest::newRow("unreadable journal")
            << QStringList{"5.2/install.journal=half a journal", "5.2/backup/Kavo.V5=original"} << false
            << int(InstallRepair::Result::Unreadable) << QStringList()
            << QStringList{"5.2/install.journal", "5.2/backup/Kavo.V5"} << QString();
        QTest::newRow("backup without a journal")
            << QStringList{"5.2/backup/Kavo.V5=original", "5.2/log.elf=log"} << false
            << int(InstallRepair::Result::Nothing) << QStringList{"5.2/backup"} << QStringList{"5.2/log.elf"}
            << QStringLiteral("Kavo.V5");
        QTest::newRow("installer of another version at work")
            << QStringList{"5.2/install.journal=" + installed, "5.2/backup/Kavo.V5=original", "5.3/update.rdl=x"}
            << true << int(InstallRepair::Result::Busy) << QStringList()
            << QStringList{"5.2/install.journal", "5.2/backup/Kavo.V5"} << QString();
    }

    void repairAtStart()
    {
        QFETCH(QStringList, files);
        QFETCH(bool, lockHeld);
        QFETCH(int, result);
        QFETCH(QStringList, gone);
        QFETCH(QStringList, kept);
        QFETCH(QString, setAside);
        QTemporaryDir root;
        const QString area = root.filePath(QStringLiteral("data/update/Shop/"));
        for (const QString &entry : files) {
            const QString file = area + entry.section('=', 0, 0);
            QVERIFY(QDir().mkpath(QFileInfo(file).absolutePath()));
            QFile f(file);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(entry.section('=', 1).toUtf8());
        }
        QVERIFY(writeText(root.filePath(QStringLiteral("Kavo.V5")), "installed"));
        InstallLock lock(root.path());
        if (lockHeld)
            QVERIFY(lock.tryLock());
        QString problem;
        QCOMPARE(int(InstallRepair::repairInterrupted(root.path(), nullptr, &problem)), result);
        QCOMPARE(problem.isEmpty(), result != int(InstallRepair::Result::Unreadable));
        for (const QString &entry : gone)
            QVERIFY2(!QFileInfo::exists(area + entry), qPrintable(entry));
        for (const QString &entry : kept)
            QVERIFY2(QFileInfo::exists(area + entry), qPrintable(entry));
        // The installed file stays as it is in every case.
        QCOMPARE(readText(root.filePath(QStringLiteral("Kavo.V5"))), QByteArray("installed"));
        const QStringList asides = QDir(area).entryList({QStringLiteral("5.2-backup-set-aside-*")}, QDir::Dirs);
        QCOMPARE(asides.size(), setAside.isEmpty() ? 0 : 1);
        if (!setAside.isEmpty()) {
            QCOMPARE(readText(area + asides.first() + QLatin1Char('/') + setAside), QByteArray("original"));
            QVERIFY(readText(area + QStringLiteral("5.2/log.elf")).contains("WARN"));
        }
    }

private:
    static bool writeText(const QString &path, const QByteArray &data)
    {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
    }
    static QByteArray readText(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
};

QTEST_MAIN(tst_UpdateArea)
#include "tst_updatearea.moc"
