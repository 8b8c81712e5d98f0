#include "zip/packageresources.h"
#include "zip/zipdecompress.h"
#include "zip/ziputils.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <zlib.h>

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

void put16(QByteArray &b, quint32 v)
{
    b.append(char(v & 0xff)).append(char((v >> 8) & 0xff));
}

void put32(QByteArray &b, quint32 v)
{
    put16(b, v & 0xffff);
    put16(b, v >> 16);
}

void put64(QByteArray &b, quint64 v)
{
    put32(b, quint32(v & 0xffffffffu));
    put32(b, quint32(v >> 32));
}

// CRC-32 of `zeros` zero bytes followed by `tail`, without touching gigabytes of memory.
uLong crcOfZerosThen(qint64 zeros, const QByteArray &tail)
{
    static const QByteArray block(1 << 20, '\0');
    const auto *bytes = reinterpret_cast<const Bytef *>(block.constData());
    const uLong blockCrc = crc32(0, bytes, uInt(block.size()));
    uLong crc = crc32(0, Z_NULL, 0);
    for (; zeros >= block.size(); zeros -= block.size())
        crc = crc32_combine64(crc, blockCrc, block.size());
    crc = crc32_combine64(crc, crc32(0, bytes, uInt(zeros)), zeros);
    return crc32_combine64(crc, crc32(0, reinterpret_cast<const Bytef *>(tail.constData()), uInt(tail.size())),
                           tail.size());
}

// A stored zip64 archive: "big.bin" of `bigSize` bytes, zeros ending in `tail`, then "after.txt"
// whose header lies past the 4 GiB mark. The zeros are a hole, so the archive costs a few blocks.
bool writeZip64Archive(const QString &path, qint64 bigSize, const QByteArray &tail, const QByteArray &small)
{
    const quint32 dosDate = ((2024 - 1980) << 25) | (1 << 21) | (1 << 16);
    const QByteArray bigName = "big.bin";
    const QByteArray smallName = "after.txt";
    const quint32 bigCrc = quint32(crcOfZerosThen(bigSize - tail.size(), tail));
    const quint32 smallCrc = quint32(crc32(0, reinterpret_cast<const Bytef *>(small.constData()), uInt(small.size())));

    QByteArray head;
    put32(head, 0x04034b50);
    put16(head, 45);
    put16(head, 0);
    put16(head, 0);
    put32(head, dosDate);
    put32(head, bigCrc);
    put32(head, 0xffffffffu);
    put32(head, 0xffffffffu);
    put16(head, quint32(bigName.size()));
    put16(head, 20);
    head += bigName;
    put16(head, 1);
    put16(head, 16);
    put64(head, quint64(bigSize));
    put64(head, quint64(bigSize));
    const qint64 smallOffset = head.size() + bigSize;

    QByteArray rest;
    put32(rest, 0x04034b50);
    put16(rest, 20);
    put16(rest, 0);
    put16(rest, 0);
    put32(rest, dosDate);
    put32(rest, smallCrc);
    put32(rest, quint32(small.size()));
    put32(rest, quint32(small.size()));
    put16(rest, quint32(smallName.size()));
    put16(rest, 0);
    rest += smallName + small;
    const qint64 directoryOffset = smallOffset + rest.size();

    QByteArray directory;
    put32(directory, 0x02014b50);
    put16(directory, (3 << 8) | 45);
    put16(directory, 45);
    put16(directory, 0);
    put16(directory, 0);
    put32(directory, dosDate);
    put32(directory, bigCrc);
    put32(directory, 0xffffffffu);
    put32(directory, 0xffffffffu);
    put16(directory, quint32(bigName.size()));
    put16(directory, 20);
    put16(directory, 0);
    put16(directory, 0);
    put16(directory, 0);
    put32(directory, 0100644u << 16);
    put32(directory, 0);
    directory += bigName;
    put16(directory, 1);
    put16(directory, 16);
    put64(directory, quint64(bigSize));
    put64(directory, quint64(bigSize));

    put32(directory, 0x02014b50);
    put16(directory, (3 << 8) | 45);
    put16(directory, 45);
    put16(directory, 0);
    put16(directory, 0);
    put32(directory, dosDate);
    put32(directory, smallCrc);
    put32(directory, quint32(small.size()));
    put32(directory, quint32(small.size()));
    put16(directory, quint32(smallName.size()));
    put16(directory, 12);
    put16(directory, 0);
    put16(directory, 0);
    put16(directory, 0);
    put32(directory, 0100644u << 16);
    put32(directory, 0xffffffffu);
    directory += smallName;
    put16(directory, 1);
    put16(directory, 8);
    put64(directory, quint64(smallOffset));

    QByteArray end;
    const qint64 zip64EndOffset = directoryOffset + directory.size();
    put32(end, 0x06064b50);
    put64(end, 44);
    put16(end, 45);
    put16(end, 45);
    put32(end, 0);
    put32(end, 0);
    put64(end, 2);
    put64(end, 2);
    put64(end, quint64(directory.size()));
    put64(end, quint64(directoryOffset));
    put32(end, 0x07064b50);
    put32(end, 0);
    put64(end, quint64(zip64EndOffset));
    put32(end, 1);
    put32(end, 0x06054b50);
    put16(end, 0);
    put16(end, 0);
    put16(end, 2);
    put16(end, 2);
    put32(end, quint32(directory.size()));
    put32(end, 0xffffffffu);
    put16(end, 0);

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(head) != head.size())
        return false;
    if (!file.seek(head.size() + bigSize - tail.size()) || file.write(tail) != tail.size())
        return false;
    return file.write(rest + directory + end) == rest.size() + directory.size() + end.size() && file.flush();
}

qint64 allocatedBytes(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? qint64(st.st_blocks) * 512 : -1;
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
    void unzipSpellingsOfDestination_data();
    void unzipSpellingsOfDestination();
    void readEntry_data();
    void readEntry();
    void packageLookup_data();
    void packageLookup();
    void damagedPackageIsAMiss();
    void replacedPackageIsReadAfresh();
    void truncatedArchiveUnpacksNothing_data();
    void truncatedArchiveUnpacksNothing();
    void entryOver4GiBUnpacksWhole();
    void packageCacheBudget_data();
    void packageCacheBudget();
    void largeEntriesAreStreamed_data();
    void largeEntriesAreStreamed();

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

    // Zip64 fields for sizes that need none: which values the extra field holds follows from the
    // directory record's placeholders, whatever minizip made of them.
    const QString forced64 = makeArchive(w, "forced64.zip", {{"a/b.txt", "b"}, {"c.txt", "cc"}}, {"-q", "-r", "-fz"});
    QTest::newRow("zip64 fields of small entries") << forced64 << 0 << QStringList{"a", "a/b.txt", "c.txt"};

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

    // A directory several times the reader's window, and data spread over the whole file: each
    // entry makes the reader jump back and forth across window bounds.
    QMap<QString, QByteArray> many;
    QStringList manyNames{"d"};
    for (int i = 0; i < 1200; ++i) {
        const QString name = QStringLiteral("d/entry-%1-with-a-long-name-that-fills-the-directory.txt")
                                 .arg(i, 4, 10, QLatin1Char('0'));
        many.insert(name, QByteArray::number(i).repeated(40 + i % 7));
        manyNames << name;
    }
    manyNames.sort();
    QTest::newRow("directory beyond the read window") << makeArchive(w, "many.zip", many) << 0 << manyNames;

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
    // What was unpacked is what was packed.
    for (const QString &name : unpacked) {
        if (!name.startsWith(QLatin1String("d/entry-")))
            continue;
        QFile file(dest.path() + "/out/" + name);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const int i = name.mid(8, 4).toInt();
        QCOMPARE(file.readAll(), QByteArray::number(i).repeated(40 + i % 7));
    }
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

void TestZip::unzipSpellingsOfDestination_data()
{
    QTest::addColumn<QString>("spelling");
    QTest::addColumn<bool>("damaged");
    for (const char *spelling : {"dest", "dest/", "dest//", "./dest/", "sub/../dest/"}) {
        QTest::newRow(qPrintable(QStringLiteral("%1, whole archive").arg(spelling))) << QString(spelling) << false;
        QTest::newRow(qPrintable(QStringLiteral("%1, damaged archive").arg(spelling))) << QString(spelling) << true;
    }
}

// However the destination is spelled, success leaves exactly the archive's files, failure the
// old ones, and neither leaves a staging folder anywhere.
void TestZip::unzipSpellingsOfDestination()
{
    QFETCH(QString, spelling);
    QFETCH(bool, damaged);
    QTemporaryDir work;
    const QString archive = makeArchive(work.path(), "new.zip", {{"a/new.txt", "fresh data"}, {"top.txt", "top"}},
                                        {"-q", "-r", "-0"});
    QVERIFY(!archive.isEmpty());
    if (damaged)
        patchFile(archive, "fresh", "FRESH");
    writeFile(work.filePath("dest/old.txt"), "old");
    QDir().mkpath(work.filePath("sub"));

    QCOMPARE(ZipUtils::unzip(archive, work.path() + "/" + spelling), !damaged);
    const QStringList expected = damaged ? QStringList{"old.txt"} : QStringList{"a", "a/new.txt", "top.txt"};
    QCOMPARE(filesBelow(work.filePath("dest")), expected);
    QStringList top = QDir(work.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    top.sort();
    QCOMPARE(top, (QStringList{"dest", "new.zip", "src-new.zip", "sub"}));
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
    QTest::newRow("doubled slash") << "ui//js/app.js" << QByteArray("app");
    QTest::newRow("tripled slash") << "ui///js/app.js" << QByteArray();
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

void TestZip::replacedPackageIsReadAfresh()
{
    QTemporaryDir root;
    const QString file = makeArchive(root.path(), "ui.zip", {{"js/app.js", "one"}});
    PackageResources packages(root.path());
    QCOMPARE(*packages.packageBytes("ui/js/app.js"), QByteArray("one"));
    QVERIFY(!packages.packageBytes("ui/js/new.js"));

    // Another package of the same size: only its time tells.
    QVERIFY(QFile::remove(file));
    makeArchive(root.path(), "ui.zip", {{"js/app.js", "two"}});
    QFile touched(file);
    QVERIFY(touched.open(QIODevice::ReadWrite));
    QVERIFY(touched.setFileTime(QDateTime::currentDateTimeUtc().addSecs(60), QFileDevice::FileModificationTime));
    touched.close();
    QCOMPARE(*packages.packageBytes("ui/js/app.js"), QByteArray("two"));

    QVERIFY(QFile::remove(file));
    makeArchive(root.path(), "ui.zip", {{"js/app.js", "three"}, {"js/new.js", "new"}});
    QCOMPARE(*packages.packageBytes("ui/js/app.js"), QByteArray("three"));
    QCOMPARE(*packages.packageBytes("ui/js/new.js"), QByteArray("new"));

    QVERIFY(QFile::remove(file));
    QVERIFY(!packages.packageBytes("ui/js/app.js"));
}

void TestZip::truncatedArchiveUnpacksNothing_data()
{
    // Bytes cut from the end of an archive of two stored 20000-byte entries.
    QTest::addColumn<qint64>("dropped");
    QTest::addColumn<int>("opened");
    QTest::addColumn<int>("extracted");
    const int openFailed = ZipDecompress::OpenFailed;
    const int noArchive = ZipDecompress::GlobalInfoFailed;
    QTest::newRow("cut in the first entry") << qint64(30000) << openFailed << noArchive;
    QTest::newRow("cut in the second entry") << qint64(10000) << openFailed << noArchive;
    QTest::newRow("cut in the central directory") << qint64(100) << openFailed << noArchive;
    // The end record still names the directory; its entries are what cannot be read.
    QTest::newRow("cut in the end record") << qint64(10) << 0 << int(ZipDecompress::EntryInfoFailed);
}

void TestZip::truncatedArchiveUnpacksNothing()
{
    QFETCH(qint64, dropped);
    QFETCH(int, opened);
    QFETCH(int, extracted);
    QTemporaryDir work;
    QByteArray noise(20000, Qt::Uninitialized);
    for (int i = 0; i < noise.size(); ++i)
        noise[i] = char((i * 7919) >> 3);
    const QString archive = makeArchive(work.path(), "cut.zip", {{"one.bin", noise}, {"two.bin", noise}},
                                        {"-q", "-0"});
    QVERIFY(!archive.isEmpty());
    const qint64 size = QFileInfo(archive).size();
    QVERIFY(size > 40000);
    QVERIFY(QFile::resize(archive, size - dropped));

    writeFile(work.filePath("dest/kept.txt"), "kept");
    ZipDecompress zip;
    QCOMPARE(zip.openQuietly(archive), opened);
    QCOMPARE(zip.extractAll(work.filePath("dest")), extracted);
    QCOMPARE(filesBelow(work.filePath("dest")), QStringList{"kept.txt"});
    // The one-call form leaves the old destination as it was, and no staging folder.
    QVERIFY(!ZipUtils::unzip(archive, work.filePath("dest")));
    QCOMPARE(filesBelow(work.filePath("dest")), QStringList{"kept.txt"});
    QCOMPARE(filesBelow(work.path()), (QStringList{"cut.zip", "dest", "dest/kept.txt", "src-cut.zip",
                                                   "src-cut.zip/one.bin", "src-cut.zip/two.bin"}));
}

void TestZip::entryOver4GiBUnpacksWhole()
{
    QTemporaryDir work;
    const qint64 bigSize = (qint64(1) << 32) + 1000;
    const QByteArray tail = "end of a file past the 32-bit mark";
    const QByteArray small = "after the big one";
    const QString archive = work.filePath("big.zip");
    if (!writeZip64Archive(archive, bigSize, tail, small))
        QSKIP("this file system cannot hold a file over 4 GiB");
    if (allocatedBytes(archive) > 64 * 1024 * 1024)
        QSKIP("this file system stores holes as data; a 4 GiB test would fill it");

    ZipDecompress zip;
    QCOMPARE(zip.openQuietly(archive), 0);
    QCOMPARE(zip.entryNames(), (QStringList{"big.bin", "after.txt"}));
    // Reading into memory refuses an entry that large instead of allocating it.
    QByteArray buffer;
    QCOMPARE(zip.readEntry("big.bin", &buffer, 1), int(ZipDecompress::ReadFailed));
    QCOMPARE(zip.readEntry("after.txt", &buffer, 1), 0);
    QCOMPARE(buffer, small);

    const QString out = work.filePath("out");
    QCOMPARE(zip.extractAll(out), 0);
    QFile big(out + "/big.bin");
    QCOMPARE(big.size(), bigSize);
    QVERIFY(big.open(QIODevice::ReadOnly));
    QVERIFY(big.seek(bigSize - tail.size() - 8));
    QCOMPARE(big.read(tail.size() + 8), QByteArray(8, '\0') + tail);
    QVERIFY(allocatedBytes(big.fileName()) < 64 * 1024 * 1024);
    QFile after(out + "/after.txt");
    QVERIFY(after.open(QIODevice::ReadOnly));
    QCOMPARE(after.readAll(), small);
}

void TestZip::packageCacheBudget_data()
{
    // ui.zip holds a.txt, b.txt and c.txt of 100 bytes each and big.txt of 300.
    QTest::addColumn<qint64>("budget");
    QTest::addColumn<qint64>("largeEntrySize");
    QTest::addColumn<QStringList>("reads");
    QTest::addColumn<QStringList>("held"); // afterwards, of the four entries
    QTest::newRow("all fit") << qint64(1000) << qint64(1000) << QStringList{"ui/a.txt", "ui/b.txt", "ui/c.txt"}
                             << QStringList{"a.txt", "b.txt", "c.txt"};
    QTest::newRow("least recently used goes first") << qint64(250) << qint64(1000) << QStringList{"ui/a.txt", "ui/b.txt", "ui/c.txt"}
                                                    << QStringList{"b.txt", "c.txt"};
    QTest::newRow("a read keeps an entry") << qint64(250) << qint64(1000) << QStringList{"ui/a.txt", "ui/b.txt", "ui/a.txt", "ui/c.txt"}
                                           << QStringList{"a.txt", "c.txt"};
    QTest::newRow("two spellings, one copy") << qint64(150) << qint64(1000) << QStringList{"ui/a.txt", "ui/A.TXT", "ui.zip/a.txt"}
                                             << QStringList{"a.txt"};
    QTest::newRow("large entry never held") << qint64(1000) << qint64(200) << QStringList{"ui/a.txt", "ui/big.txt", "ui/b.txt"}
                                            << QStringList{"a.txt", "b.txt"};
    QTest::newRow("entry over the budget never held") << qint64(250) << qint64(1000) << QStringList{"ui/big.txt", "ui/a.txt"}
                                                      << QStringList{"a.txt"};
    QTest::newRow("no budget") << qint64(0) << qint64(1000) << QStringList{"ui/a.txt", "ui/big.txt"} << QStringList();
}

void TestZip::packageCacheBudget()
{
    QFETCH(qint64, budget);
    QFETCH(qint64, largeEntrySize);
    QFETCH(QStringList, reads);
    QFETCH(QStringList, held);
    const QMap<QString, QByteArray> files{{"a.txt", QByteArray(100, 'a')}, {"b.txt", QByteArray(100, 'b')},
                                          {"c.txt", QByteArray(100, 'c')}, {"big.txt", QByteArray(300, 'g')}};
    QTemporaryDir root;
    QVERIFY(!makeArchive(root.path(), "ui.zip", files).isEmpty());
    PackageResources packages(root.path());
    packages.setCacheLimits(budget, largeEntrySize);
    for (const QString &path : reads) {
        const QString name = path.mid(path.lastIndexOf('/') + 1).toLower();
        PackageResources::Entry entry = packages.entry(path);
        const QByteArray bytes = entry.bytes ? *entry.bytes : entry.stream ? entry.stream->readAll() : QByteArray();
        QCOMPARE(bytes, files.value(name));
        QCOMPARE(entry.size, qint64(bytes.size()));
        // Never both, and what is streamed is what is too large to hold.
        QVERIFY(!entry.bytes != !entry.stream);
        QCOMPARE(bool(entry.stream), bytes.size() > qMin(budget, largeEntrySize));
        QVERIFY(packages.cachedBytes() <= budget);
    }
    qint64 heldBytes = 0;
    for (auto it = files.begin(); it != files.end(); ++it) {
        QCOMPARE(packages.isCached("ui/" + it.key()), held.contains(it.key()));
        heldBytes += held.contains(it.key()) ? it.value().size() : 0;
    }
    QCOMPARE(packages.cachedBytes(), heldBytes);
}

void TestZip::largeEntriesAreStreamed_data()
{
    QTest::addColumn<QStringList>("zipArgs");
    QTest::addColumn<QByteArray>("damage"); // patched over the entry's first stored bytes
    QTest::addColumn<qint64>("from");        // where reading starts
    QTest::addColumn<bool>("whole");         // the bytes come complete, else reading ends in an error
    QTest::newRow("compressed") << QStringList{"-q"} << QByteArray() << qint64(0) << true;
    QTest::newRow("stored") << QStringList{"-q", "-0"} << QByteArray() << qint64(0) << true;
    QTest::newRow("stored, from the middle") << QStringList{"-q", "-0"} << QByteArray() << qint64(150000) << true;
    QTest::newRow("stored, damaged") << QStringList{"-q", "-0"} << QByteArray("XXXX") << qint64(0) << false;
    QTest::newRow("compressed, damaged") << QStringList{"-q"} << QByteArray("\xff\xff\xff\xff") << qint64(0) << false;
}

void TestZip::largeEntriesAreStreamed()
{
    QFETCH(QStringList, zipArgs);
    QFETCH(QByteArray, damage);
    QFETCH(qint64, from);
    QFETCH(bool, whole);
    // Text that compresses, but not to nothing.
    QByteArray data;
    for (int i = 0; data.size() < 300000; ++i)
        data += QByteArray::number(i * 7919 % 100003) + ' ';
    QTemporaryDir root;
    const QString archive = makeArchive(root.path(), "media.zip", {{"clip.bin", data}}, zipArgs);
    QVERIFY(!archive.isEmpty());
    if (!damage.isEmpty()) {
        // Well inside the entry's data, which follows a 30-byte header, the name and a short extra field.
        QFile file(archive);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.seek(30 + 8 + 1000));
        file.write(damage);
    }
    PackageResources packages(root.path());
    packages.setCacheLimits(1024 * 1024, 64 * 1024);
    PackageResources::Entry entry = packages.entry("media/clip.bin");
    QVERIFY(entry.stream);
    QCOMPARE(entry.size, qint64(data.size()));
    QCOMPARE(packages.cachedBytes(), qint64(0));
    if (from > 0)
        QVERIFY(entry.stream->seek(from));
    QByteArray read;
    QByteArray chunk;
    while (!(chunk = entry.stream->read(64 * 1024)).isEmpty())
        read += chunk;
    if (whole) {
        QVERIFY(read == data.mid(int(from)));
        QVERIFY(entry.stream->atEnd());
    } else {
        // The last bytes are held back: a reader never takes a damaged entry for a whole one.
        QVERIFY(read.size() < data.size());
        QVERIFY(!entry.stream->errorString().isEmpty());
    }
    // The bytes-only lookup has nothing to give for an entry that is only streamed.
    QVERIFY(!packages.packageBytes("media/clip.bin"));
}

QTEST_GUILESS_MAIN(TestZip)
#include "tst_zip.moc"
