#include "zip/packageresources.h"
#include "zip/zipdecompress.h"
#include "zip/ziputils.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// Builds an archive with the zip tool from a folder of files laid out as given.
QString makeArchive(const QString &workDir, const QString &name, const QMap<QString, QByteArray> &files,
                    const QStringList &zipArgs = {"-q", "-r"})
{
    const QString src = workDir + "/src-" + name;
    for (auto it = files.begin(); it != files.end(); ++it) {
        if (it.key().endsWith('/'))
            QDir().mkpath(src + "/" + it.key());
        else
            writeFile(src + "/" + it.key(), it.value());
    }
    const QString archive = workDir + "/" + name;
    QProcess zip;
    zip.setWorkingDirectory(src);
    QStringList args = zipArgs;
    args << archive;
    args << QDir(src).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    zip.start("zip", args);
    zip.waitForFinished();
    return zip.exitCode() == 0 ? archive : QString();
}

// Overwrites the first occurrence of `from` in the file with `to` (same length).
void patchFile(const QString &path, const QByteArray &from, const QByteArray &to, int occurrence = 0)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QByteArray bytes = file.readAll();
    int at = -1;
    for (int i = 0; i <= occurrence; ++i)
        at = bytes.indexOf(from, at + 1);
    QVERIFY(at >= 0);
    bytes.replace(at, to.size(), to);
    file.seek(0);
    file.write(bytes);
}

QStringList filesBelow(const QString &root)
{
    QStringList found;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        found << QDir(root).relativeFilePath(it.next());
    found.sort();
    return found;
}

} // namespace

class TestZip : public QObject
{
    Q_OBJECT
private slots:
    void extractAll_data();
    void extractAll();
    void unzipReplacesDestination();
    void readEntry_data();
    void readEntry();
    void packageLookup_data();
    void packageLookup();
    void damagedPackageIsAMiss();

private:
    QTemporaryDir m_work;
};

void TestZip::extractAll_data()
{
    QTest::addColumn<QString>("archive");
    QTest::addColumn<int>("result");
    QTest::addColumn<QStringList>("unpacked");

    const QString w = m_work.path();
    const QString nested = makeArchive(w, "nested.zip", {{"a/b.txt", "b"}, {"c.txt", "c"}, {"a/d/e/f.txt", "f"}, {"empty/", ""}});
    QTest::newRow("nested and empty folders") << nested << 0
        << QStringList{"a", "a/b.txt", "a/d", "a/d/e", "a/d/e/f.txt", "c.txt"};

    // Names of the same length as the hostile ones, patched in after zipping.
    const QString slip = makeArchive(w, "slip.zip", {{"ok.txt", "ok"}, {"zz/evil.txt", "evil"}});
    patchFile(slip, "zz/evil.txt", "../evil.txt", 0);
    patchFile(slip, "zz/evil.txt", "../evil.txt", 0);
    QTest::newRow("dot-dot name") << slip << int(ZipDecompress::UnsafeEntryName) << QStringList();

    const QString absolute = makeArchive(w, "absolute.zip", {{"ok.txt", "ok"}, {"xtmp/evil", "evil"}});
    patchFile(absolute, "xtmp/evil", "/tmp/evil", 0);
    patchFile(absolute, "xtmp/evil", "/tmp/evil", 0);
    QTest::newRow("absolute name") << absolute << int(ZipDecompress::UnsafeEntryName) << QStringList();

    const QString crc = makeArchive(w, "crc.zip", {{"data.txt", QByteArray(1000, 'x')}}, {"-q", "-0"});
    patchFile(crc, QByteArray(10, 'x'), "yyyyyyyyyy");
    QTest::newRow("corrupted data fails the crc") << crc << int(ZipDecompress::ReadFailed) << QStringList();

    const QString info = makeArchive(w, "info.zip", {{"one.txt", "1"}, {"two.txt", "2"}});
    patchFile(info, "PK\x01\x02", "PK\x09\x09", 1);
    QTest::newRow("unreadable entry information") << info << int(ZipDecompress::EntryInfoFailed) << QStringList();
}

void TestZip::extractAll()
{
    QFETCH(QString, archive);
    QFETCH(int, result);
    QFETCH(QStringList, unpacked);
    QVERIFY(!archive.isEmpty());

    QTemporaryDir dest;
    ZipDecompress zip;
    QCOMPARE(zip.openQuietly(archive), 0);
    QCOMPARE(zip.extractAll(dest.path() + "/out"), result);
    QCOMPARE(filesBelow(dest.path() + "/out"), unpacked);
    QVERIFY(!QFileInfo::exists(dest.path() + "/evil.txt"));
    QVERIFY(!QFileInfo::exists("/tmp/evil"));
}

void TestZip::unzipReplacesDestination()
{
    const QString archive = makeArchive(m_work.path(), "replace.zip", {{"new.txt", "new"}});
    QTemporaryDir dest;
    writeFile(dest.filePath("old/stale.txt"), "stale");
    QVERIFY(ZipUtils::unzip(archive, dest.filePath("old")));
    QCOMPARE(filesBelow(dest.filePath("old")), QStringList{"new.txt"});

    ZipDecompress closed;
    QCOMPARE(closed.extractAll(QString()), int(ZipDecompress::BadArgument));
}

void TestZip::readEntry_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("caseSensitivity");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("exact") << "a/b.txt" << 1 << 0 << QByteArray("bee");
    QTest::newRow("any case") << "A/B.TXT" << 0 << 0 << QByteArray("bee");
    QTest::newRow("case-sensitive miss") << "A/B.TXT" << 1 << int(ZipDecompress::EntryNotFound) << QByteArray();
    QTest::newRow("directory entry") << "a/" << 1 << 0 << QByteArray();
    QTest::newRow("empty name") << "" << 1 << int(ZipDecompress::BadArgument) << QByteArray();
}

void TestZip::readEntry()
{
    QFETCH(QString, name);
    QFETCH(int, caseSensitivity);
    QFETCH(int, result);
    QFETCH(QByteArray, bytes);
    static const QString archive = makeArchive(m_work.path(), "read.zip", {{"a/b.txt", "bee"}});
    ZipDecompress zip;
    QByteArray buffer;
    QCOMPARE(zip.readEntry("a/b.txt", &buffer, 1), int(ZipDecompress::NotOpen));
    QCOMPARE(zip.openQuietly(archive), 0);
    QCOMPARE(zip.readEntry(name, &buffer, caseSensitivity), result);
    QCOMPARE(buffer, bytes);
}

void TestZip::packageLookup_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("entry") << "ui/js/app.js" << QByteArray("app");
    QTest::newRow("any case") << "ui/JS/APP.JS" << QByteArray("app");
    QTest::newRow("with .zip") << "ui.zip/js/app.js" << QByteArray("app");
    QTest::newRow("package only") << "ui" << QByteArray();
    QTest::newRow("package slash") << "ui/" << QByteArray();
    QTest::newRow("directory entry") << "ui/js" << QByteArray();
    QTest::newRow("no such package") << "nope/js/app.js" << QByteArray();
}

void TestZip::packageLookup()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, bytes);
    static QTemporaryDir root;
    static bool made = !makeArchive(root.path(), "ui.zip", {{"js/app.js", "app"}}).isEmpty();
    QVERIFY(made);
    static PackageResources packages(root.path());
    const QByteArray *found = packages.packageBytes(path);
    QCOMPARE(found ? *found : QByteArray(), bytes);
    // Every spelling of one entry shares one copy.
    if (found)
        QCOMPARE(found, packages.packageBytes("ui/js/app.js"));
}

void TestZip::damagedPackageIsAMiss()
{
    QTemporaryDir root;
    writeFile(root.filePath("bad.zip"), "not a zip at all");
    const QString truncated = makeArchive(root.path(), "cut.zip", {{"a.txt", QByteArray(5000, 'a')}});
    QFile::resize(truncated, QFileInfo(truncated).size() / 2);
    PackageResources packages(root.path());
    QVERIFY(!packages.packageBytes("bad/a.txt"));
    QVERIFY(!packages.packageBytes("cut/a.txt"));
    ZipDecompress zip;
    QCOMPARE(zip.openQuietly(truncated), int(ZipDecompress::OpenFailed));
}

QTEST_GUILESS_MAIN(TestZip)
#include "tst_zip.moc"
