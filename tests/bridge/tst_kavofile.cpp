#include "core/fileutils.h"
#include "bridge/kavofile.h"
#include "eventpage.h"
#include "tests/stderrcapture.h"
#include "uploadserver.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {
QString writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(data);
    return path;
}

QString fileUrl(const QString &path)
{
    return QUrl::fromLocalFile(path).toString();
}
} // namespace

class tst_KavoFile : public QObject
{
    Q_OBJECT
private slots:
    void localPaths_data()
    {
        QTest::addColumn<QString>("picUrl");
        QTest::addColumn<QString>("path");
        QTest::newRow("file URL") << "file:///tmp/pics/a.png" << "/tmp/pics/a.png";
        QTest::newRow("file URL, escaped") << "file:///tmp/my%20pics/a.png" << "/tmp/my pics/a.png";
        QTest::newRow("local server") << "http://127.0.0.1:58899/data/App/_pictures/picCache_0.png"
                                      << "data/App/_pictures/picCache_0.png";
        QTest::newRow("absolute path") << "/tmp/a.png" << "/tmp/a.png";
        QTest::newRow("relative path") << "data/a.png" << "data/a.png";
    }
    void localPaths()
    {
        QFETCH(QString, picUrl);
        QFETCH(QString, path);
        QCOMPARE(KavoFile::localPathOf(picUrl), path);
    }

    void uploadRaisesOneSuccessWithRisingProgress()
    {
        QTemporaryDir dir;
        const QByteArray data(3 * 1024 * 1024, 'k');
        const QString path = writeFile(dir.filePath(QStringLiteral("it's \"quoted\".png")), data);
        UploadServer server;
        EventPage page;
        KavoFile file(&page.window);
        file.uploadToServer(fileUrl(path), server.url(), QStringLiteral("f"), QStringLiteral("image/png"),
                            QStringLiteral("onProgress"));
        QVERIFY(file.isBusy());
        QTRY_COMPARE_WITH_TIMEOUT(page.events().size(), 1, 20000);
        const QJsonObject event = page.event(0);
        QCOMPARE(event.value("type").toString(), QStringLiteral("kavo.file.upload"));
        QCOMPARE(event.value("success").toBool(), true);
        // The quotes of the file name arrive intact.
        QCOMPARE(event.value("localURL").toString(), path);
        QVERIFY(!file.isBusy());
        QVERIFY(server.body.contains("filename=\"it's \\\"quoted\\\".png\"\r\n"));
        QVERIFY(server.body.contains(data));

        const QJsonArray progress = page.progress();
        QVERIFY(!progress.isEmpty());
        double last = -1;
        for (const QJsonValue &step : progress) {
            QVERIFY(step.toArray().at(0).toDouble() >= last);
            last = step.toArray().at(0).toDouble();
            QCOMPARE(step.toArray().at(1).toDouble(), double(server.body.size()));
        }
        QCOMPARE(last, double(server.body.size()));
        QTest::qWait(50);
        QCOMPARE(page.events().size(), 1);
    }

    void secondUploadWhileBusy()
    {
        QTemporaryDir dir;
        const QString path = writeFile(dir.filePath(QStringLiteral("a.png")), QByteArray(100000, 'a'));
        UploadServer server;
        EventPage page;
        KavoFile file(&page.window);
        file.uploadToServer(fileUrl(path), server.url(), QString(), QString(), QStringLiteral("onProgress"));
        file.uploadToServer(fileUrl(path), server.url(QStringLiteral("/other")), QString(), QString(),
                            QStringLiteral("onProgress"));
        QCOMPARE(page.events().size(), 1);
        QCOMPARE(page.event(0).value("type").toString(), QStringLiteral("kavo.file.upload.busy"));
        QCOMPARE(page.event(0).value("message").toString(), QStringLiteral("busy"));
        QTRY_COMPARE_WITH_TIMEOUT(page.events().size(), 2, 10000);
        QCOMPARE(page.event(1).value("success").toBool(), true);
        QCOMPARE(server.requests, 1);
        QCOMPARE(server.target, QByteArray("/upload"));
    }

    void failuresRaiseOneEventAndEndTheBusyState_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("error");
        QTest::newRow("server error") << "status500" << "Code:";
        QTest::newRow("refused") << "refused" << "Code:1";
        QTest::newRow("empty file") << "empty" << "上传文件为空!";
        // The server takes the whole file and never answers.
        QTest::newRow("no answer") << "silent" << "Code:4,";
    }
    void failuresRaiseOneEventAndEndTheBusyState()
    {
        QFETCH(QString, kind);
        QFETCH(QString, error);
        QTemporaryDir dir;
        const QString path = writeFile(dir.filePath(QStringLiteral("a.png")), kind == "empty" ? QByteArray() : "abc");
        UploadServer server;
        server.status = 500;
        server.answers = kind != QLatin1String("silent");
        QString url = server.url();
        if (kind == QLatin1String("refused")) {
            UploadServer closed;
            url = closed.url();
        }
        EventPage page;
        KavoFile file(&page.window);
        file.setUploadTimeout(400);
        file.uploadToServer(fileUrl(path), url, QString(), QString(), QStringLiteral("onProgress"));
        QTRY_COMPARE_WITH_TIMEOUT(page.events().size(), 1, 10000);
        QCOMPARE(page.event(0).value("type").toString(), QStringLiteral("kavo.file.upload"));
        QCOMPARE(page.event(0).value("success").toBool(), false);
        QCOMPARE(page.event(0).value("localURL").toString(), path);
        QVERIFY2(page.event(0).value("error").toString().startsWith(error),
                 qPrintable(page.event(0).value("error").toString()));
        QTRY_VERIFY(!file.isBusy());
        QTest::qWait(50);
        QCOMPARE(page.events().size(), 1);

        // The object takes the next upload.
        server.status = 200;
        server.answers = true;
        writeFile(path, "abc");
        file.uploadToServer(fileUrl(path), server.url(), QString(), QString(), QStringLiteral("onProgress"));
        QTRY_COMPARE_WITH_TIMEOUT(page.events().size(), 2, 10000);
        QCOMPARE(page.event(1).value("success").toBool(), true);
    }

    // The box alone would leave the page waiting: the failure event follows it.
    void refusedParameters_data()
    {
        QTest::addColumn<QString>("picUrl");
        QTest::addColumn<QString>("uploadUrl");
        QTest::addColumn<QString>("callback");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("localUrl");
        QTest::newRow("no callback") << "file:///etc/hostname" << "http://127.0.0.1:1/" << ""
                                     << "parameter error" << "/etc/hostname";
        QTest::newRow("no url") << "file:///etc/hostname" << "" << "onProgress" << "parameter error" << "/etc/hostname";
        QTest::newRow("no file") << "" << "http://127.0.0.1:1/" << "onProgress" << "parameter error" << "";
        QTest::newRow("missing file") << "file:///nonexistent/a.png" << "http://127.0.0.1:1/" << "onProgress"
                                      << QStringLiteral("找不到上传文件!") << "/nonexistent/a.png";
    }
    void refusedParameters()
    {
        QFETCH(QString, picUrl);
        QFETCH(QString, uploadUrl);
        QFETCH(QString, callback);
        QFETCH(QString, message);
        QFETCH(QString, localUrl);
        EventPage page;
        KavoFile file(&page.window);
        StderrCapture capture;
        file.uploadToServer(picUrl, uploadUrl, QString(), QString(), callback);
        QVERIFY(capture.text().contains(QStringLiteral("错误: %1").arg(message).toUtf8()));
        QVERIFY(!file.isBusy());
        QCOMPARE(page.events().size(), 1);
        const QJsonObject event = page.event(0);
        QCOMPARE(event.value("type").toString(), QStringLiteral("kavo.file.upload"));
        QCOMPARE(event.value("success").toBool(), false);
        QCOMPARE(event.value("error").toString(), message);
        QCOMPARE(event.value("localURL").toString(), localUrl);
        QTest::qWait(20);
        QCOMPARE(page.events().size(), 1);
    }

    // The object is idle when its event is heard: a listener can start the next upload at once.
    void listenerStartsTheNextUpload_data()
    {
        QTest::addColumn<int>("firstStatus");
        QTest::newRow("after a success") << 200;
        QTest::newRow("after a failure") << 500;
    }
    void listenerStartsTheNextUpload()
    {
        QFETCH(int, firstStatus);
        QTemporaryDir dir;
        const QString path = writeFile(dir.filePath(QStringLiteral("a.png")), "abc");
        UploadServer server;
        server.status = firstStatus;
        EventPage page;
        KavoFile file(&page.window);
        page.publish(QStringLiteral("TestFile"), &file);
        page.run(QStringLiteral("var chained = false;"
                                "document.addEventListener('kavo.file.upload', function (e) {"
                                "  if (chained) return; chained = true;"
                                "  TestFile.uploadToServer('%1', '%2', '', '', 'onProgress'); });")
                     .arg(fileUrl(path), server.url(QStringLiteral("/next"))));
        connect(&server, &UploadServer::requestRead, &server, [&server] { server.status = 200; });
        file.uploadToServer(fileUrl(path), server.url(), QString(), QString(), QStringLiteral("onProgress"));
        QTRY_COMPARE_WITH_TIMEOUT(page.events().size(), 2, 10000);
        QCOMPARE(page.event(0).value("type").toString(), QStringLiteral("kavo.file.upload"));
        QCOMPARE(page.event(0).value("success").toBool(), firstStatus == 200);
        QCOMPARE(page.event(1).value("type").toString(), QStringLiteral("kavo.file.upload"));
        QCOMPARE(page.event(1).value("success").toBool(), true);
        QCOMPARE(server.requests, 2);
        QCOMPARE(server.target, QByteArray("/next"));
        QTRY_VERIFY(!file.isBusy());
    }

    void localServerUrlNamesAFileBesideTheProgram()
    {
        const QString relative = QStringLiteral("data/tst_kavofile/upload.png");
        writeFileBytes("beside", relative, true);
        UploadServer server;
        EventPage page;
        KavoFile file(&page.window);
        file.uploadToServer(QStringLiteral("http://127.0.0.1:58899/") + relative, server.url(), QString(), QString(),
                            QStringLiteral("onProgress"));
        QTRY_COMPARE_WITH_TIMEOUT(page.events().size(), 1, 10000);
        QCOMPARE(page.event(0).value("success").toBool(), true);
        QCOMPARE(page.event(0).value("localURL").toString(), relative);
        QVERIFY(server.body.contains("\r\n\r\nbeside\r\n"));
        removeDir(QStringLiteral("data/tst_kavofile"));
    }

    void destroyedDuringAnUpload()
    {
        QTemporaryDir dir;
        const QString path = writeFile(dir.filePath(QStringLiteral("a.png")), QByteArray(1000000, 'a'));
        UploadServer server;
        EventPage page;
        auto *file = new KavoFile(&page.window);
        file->uploadToServer(fileUrl(path), server.url(), QString(), QString(), QStringLiteral("onProgress"));
        delete file;
        QTest::qWait(200);
        QCOMPARE(page.events().size(), 0);
    }
};

QTEST_MAIN(tst_KavoFile)
#include "tst_kavofile.moc"
