#include "core/fileutils.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

class tst_FileUtils : public QObject
{
    Q_OBJECT

    static void put(const QString &path, const QByteArray &data)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(data);
    }
    static QByteArray get(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private slots:
    void absolutePathRule_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected");
        const QString app = QFileInfo(QCoreApplication::applicationFilePath()).canonicalPath();
        QTest::newRow("relative") << "data/x" << app + "/data/x";
        QTest::newRow("absolute") << "/tmp/x"
                                  << "/tmp/x";
        QTest::newRow("dot relative") << "./qt.conf" << app + "/./qt.conf";
    }

    void absolutePathRule()
    {
        QFETCH(QString, path);
        QFETCH(QString, expected);
        QDir::setCurrent(QDir::tempPath());
        QCOMPARE(absolutePath(path), expected);
    }

    void writeFileBytesRules()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("a/b/file.bin"));
        QVERIFY(!writeFileBytes(QByteArray(), path, true));
        QVERIFY(!writeFileBytes("x", QString(), true));
        QVERIFY(writeFileBytes("first", path, false));
        QVERIFY(!writeFileBytes("second", path, false));
        QCOMPARE(get(path), QByteArray("first"));
        QVERIFY(writeFileBytes("third", path, true));
        QCOMPARE(get(path), QByteArray("third"));
    }

    void writeIntoReadOnlyFolderKeepsOldFile()
    {
        if (::geteuid() == 0)
            QSKIP("root ignores folder permissions");
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("ro/file"));
        put(path, "old");
        QFile::setPermissions(dir.filePath("ro"), QFile::ReadOwner | QFile::ExeOwner);
        QVERIFY(!writeFileBytes("new", path, true));
        QCOMPARE(get(path), QByteArray("old"));
        QFile::setPermissions(dir.filePath("ro"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void copyFileCases()
    {
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("src.txt"));
        put(source, "payload");
        QVERIFY(!copyFile(dir.filePath("missing"), dir.filePath("t")));
        QVERIFY(copyFile(source, dir.filePath(QStringLiteral("deep/er/t.txt"))));
        QCOMPARE(get(dir.filePath("deep/er/t.txt")), QByteArray("payload"));

        put(dir.filePath("old.txt"), "old contents");
        QVERIFY(copyFile(source, dir.filePath("old.txt")));
        QCOMPARE(get(dir.filePath("old.txt")), QByteArray("payload"));

        QVERIFY(copyFile(source, dir.filePath("sub/../src.txt")));
        QCOMPARE(get(source), QByteArray("payload"));

        // Another letter case is another file here.
        QVERIFY(copyFile(source, dir.filePath("SRC.txt")));
        QCOMPARE(get(dir.filePath("SRC.txt")), QByteArray("payload"));
        QCOMPARE(get(source), QByteArray("payload"));
    }

    void failedCopyKeepsTarget()
    {
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("target"));
        put(target, "precious");
        // A folder cannot be read as a file: the copy fails and the target stays.
        QDir().mkpath(dir.filePath("folder"));
        QVERIFY(!copyFile(dir.filePath("folder"), target));
        QCOMPARE(get(target), QByteArray("precious"));
        if (::geteuid() != 0) {
            put(dir.filePath("ro/t"), "kept");
            QFile::setPermissions(dir.filePath("ro"), QFile::ReadOwner | QFile::ExeOwner);
            QVERIFY(!copyFile(target, dir.filePath("ro/t")));
            QCOMPARE(get(dir.filePath("ro/t")), QByteArray("kept"));
            QFile::setPermissions(dir.filePath("ro"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
    }

    void removeDirLeavesLinkTargets()
    {
        QTemporaryDir dir;
        put(dir.filePath("outside/keep.txt"), "keep");
        put(dir.filePath("tree/a/b/file.txt"), "x");
        put(dir.filePath("tree/.hidden"), "h");
        QDir().mkpath(dir.filePath("tree/empty"));
        QVERIFY(QFile::link(dir.filePath("outside"), dir.filePath("tree/a/link")));
        QVERIFY(QFile::link(dir.filePath("outside/keep.txt"), dir.filePath("tree/filelink")));
        removeDir(dir.filePath("tree"));
        QVERIFY(!QFileInfo::exists(dir.filePath("tree")));
        QCOMPARE(get(dir.filePath("outside/keep.txt")), QByteArray("keep"));

        put(dir.filePath("single"), "s");
        removeDir(dir.filePath("single"));
        QVERIFY(!QFileInfo::exists(dir.filePath("single")));
        removeDir(dir.filePath("never-there"));
    }

    void smallHelpers()
    {
        QTemporaryDir dir;
        QVERIFY(makeDir(dir.filePath("m/n/o")));
        QVERIFY(QFileInfo(dir.filePath("m/n/o")).isDir());
        QVERIFY(makeDir(dir.filePath("m/n/o")));
        put(dir.filePath("m/f1"), "1");
        put(dir.filePath("m/f2"), "2");
        QStringList files = listFiles(dir.filePath("m"));
        files.sort();
        QCOMPARE(files, (QStringList {"f1", "f2"}));
        QVERIFY(FileUtils::exists(dir.filePath("m/n")));
        QVERIFY(!FileUtils::exists(dir.filePath("m/zz")));
        QVERIFY(removeFile(dir.filePath("m/f1")));
        QVERIFY(removeFile(dir.filePath("m/f1")));
        QVERIFY(!QFile::exists(dir.filePath("m/f1")));
        QCOMPARE(readFileBytes(dir.filePath("m/f2")), QByteArray("2"));
        QVERIFY(readFileBytes(dir.filePath("m/none")).isEmpty());
    }
};

QTEST_MAIN(tst_FileUtils)
#include "tst_fileutils.moc"
