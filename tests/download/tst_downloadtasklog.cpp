#include "download/downloadtasklog.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestDownloadTaskLog : public QObject
{
    Q_OBJECT
private slots:
    void roundTrip();
    void loadCases_data();
    void loadCases();
    void tornFileFails();
    void pieceOperations();
    void unknownUrl();
};

static QString writeFile(const QTemporaryDir &dir, const QByteArray &content)
{
    const QString path = dir.filePath(QStringLiteral("update.rdl"));
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(content);
    return path;
}

void TestDownloadTaskLog::roundTrip()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("update.rdl"));
    DownloadTaskLog log(path);
    DownloadTaskInfo info;
    info.url = QStringLiteral("http://Host/Pkg.ZIP");
    info.savePath = QStringLiteral("/tmp/Pkg.ZIP");
    info.threadCount = 5;
    info.fileSize = 5000000000LL;
    info.unstartedOffsetIndex = 2;
    info.pieces << FilePiece(3, 4294967296LL, 4299999999LL, 65536) << FilePiece(1, 0, 99, 0);
    log.addTask(info);
    QVERIFY(log.save());

    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = f.readAll().trimmed().split('\n');
    QCOMPARE(lines.size(), 7);
    QVERIFY(lines.at(2).startsWith("    <Task Url=\"http://Host/Pkg.ZIP\" SavePath="));
    QVERIFY(lines.at(3).startsWith("        <Piece PieceID=\"3\" Start=\"4294967296\""));

    DownloadTaskLog again(QString{});
    QString message;
    QVERIFY(again.load(path, message));
    DownloadTaskInfo read;
    QVERIFY(again.getTask(info.url, read));
    QCOMPARE(read.fileSize, info.fileSize);
    QCOMPARE(read.unstartedOffsetIndex, 2);
    QCOMPARE(read.pieces.size(), 2);
    QCOMPARE(read.pieces.at(0).start, 4294967296LL);
    QCOMPARE(read.pieces.at(0).done, 65536LL);
    QCOMPARE(read.pieces.at(1).id, 1);
}

void TestDownloadTaskLog::loadCases_data()
{
    QTest::addColumn<QByteArray>("xml");
    QTest::addColumn<QStringList>("urls");
    QTest::addColumn<int>("firstPieceCount");
    const QByteArray head = "<?xml version=\"1.0\"?><Tasks>";
    QTest::newRow("equal urls, later wins")
        << head + "<Task Url=\"a\" SavePath=\"p\" ThreadCount=\"1\" FileSize=\"1\" UnstartedOffsetIndex=\"0\"/>"
                  "<Task Url=\"a\" SavePath=\"p\" ThreadCount=\"2\" FileSize=\"1\" UnstartedOffsetIndex=\"0\">"
                  "<Piece PieceID=\"1\" Start=\"0\" End=\"0\" Done=\"0\"/></Task></Tasks>"
        << QStringList{"a"} << 1;
    QTest::newRow("task without SavePath dropped")
        << head + "<Task Url=\"a\" ThreadCount=\"1\" FileSize=\"1\" UnstartedOffsetIndex=\"0\"><Piece PieceID=\"1\"/></Task>"
                  "<Task Url=\"b\" SavePath=\"p\" ThreadCount=\"1\" FileSize=\"1\" UnstartedOffsetIndex=\"0\"/></Tasks>"
        << QStringList{"b"} << 0;
    QTest::newRow("ThreadCount abc dropped")
        << head + "<Task Url=\"a\" SavePath=\"p\" ThreadCount=\"abc\" FileSize=\"1\" UnstartedOffsetIndex=\"0\"/></Tasks>"
        << QStringList{} << 0;
    QTest::newRow("bad piece kept with id")
        << head + "<Task Url=\"a\" SavePath=\"p\" ThreadCount=\"1\" FileSize=\"1\" UnstartedOffsetIndex=\"0\">"
                  "<Piece PieceID=\"7\" Start=\"x\" End=\"5\" Done=\"5\"/></Task></Tasks>"
        << QStringList{"a"} << 1;
    QTest::newRow("empty map") << head + "</Tasks>" << QStringList{} << 0;
}

void TestDownloadTaskLog::loadCases()
{
    QFETCH(QByteArray, xml);
    QFETCH(QStringList, urls);
    QFETCH(int, firstPieceCount);
    QTemporaryDir dir;
    DownloadTaskLog log(writeFile(dir, xml));
    QString message;
    QVERIFY(log.load(message));
    QStringList loaded;
    for (const DownloadTaskInfo &t : log.tasks())
        loaded << t.url;
    QCOMPARE(loaded, urls);
    if (!urls.isEmpty()) {
        const QList<FilePiece> pieces = log.pieces(urls.first());
        QCOMPARE(pieces.size(), firstPieceCount);
        if (QTest::currentDataTag() == QByteArray("bad piece kept with id")) {
            QCOMPARE(pieces.at(0).id, 7);
            QCOMPARE(pieces.at(0).end, 0LL);
        }
        if (QTest::currentDataTag() == QByteArray("equal urls, later wins"))
            QCOMPARE(log.threadCount("a"), 2);
    }
}

void TestDownloadTaskLog::tornFileFails()
{
    QTemporaryDir dir;
    DownloadTaskLog log(writeFile(dir, "<?xml version=\"1.0\"?>\n<Tasks>\n    <Task Url=\"a\" SavePath=\"p\""));
    QString message;
    QVERIFY(!log.load(message));
    QVERIFY(message.contains(QStringLiteral(" at line:")));
    QCOMPARE(log.taskCount(), 0);
}

void TestDownloadTaskLog::pieceOperations()
{
    DownloadTaskLog log(QString{});
    DownloadTaskInfo info;
    info.url = QStringLiteral("u");
    info.savePath = QStringLiteral("p");
    log.addTask(info);
    log.setPiece("u", FilePiece(1, 0, 9, 0));
    log.setPiece("u", FilePiece(2, 10, 19, 0));
    log.setPiece("u", FilePiece(1, 0, 9, 4));
    QCOMPARE(log.pieces("u").size(), 2);
    QCOMPARE(log.pieces("u").last().id, 1);
    QCOMPARE(log.pieceDone("u", 1), 4LL);
    QCOMPARE(log.removePiece("u", 2), 1);
    DownloadTaskInfo out;
    QVERIFY(!log.getTask(log.taskCount(), out));
}

void TestDownloadTaskLog::unknownUrl()
{
    DownloadTaskLog log(QString{});
    QCOMPARE(log.fileSize("x"), -1LL);
    QCOMPARE(log.threadCount("x"), -1);
    QCOMPARE(log.unstartedOffsetIndex("x"), -1);
    QCOMPARE(log.pieceDone("x", 1), -1LL);
    QVERIFY(!log.setFileSize("x", 1));
}

QTEST_GUILESS_MAIN(TestDownloadTaskLog)
#include "tst_downloadtasklog.moc"
