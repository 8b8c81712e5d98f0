#include "bridge/httpuploader.h"
#include "tests/stderrcapture.h"
#include "uploadserver.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {
QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &data)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(data);
    return path;
}

QByteArray patternBytes(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    quint32 x = 2463534242u;
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        data[i] = char(x);
    }
    return data;
}

QByteArray boundaryOf(const UploadServer &server)
{
    const QByteArray type = server.headers.value("content-type");
    const QByteArray prefix = "multipart/form-data; boundary=";
    return type.startsWith(prefix) ? type.mid(prefix.size()) : QByteArray();
}
} // namespace

class tst_HttpUploader : public QObject
{
    Q_OBJECT
private slots:
    void bodyLayout()
    {
        const QByteArray body = HttpUploader::multipartBody(QStringLiteral("B"), QStringLiteral("a.png"),
                                                            QStringLiteral("field"), QStringLiteral("image/png"), "DATA");
        QCOMPARE(body, QByteArray("--B\r\n"
                                  "--B\r\nContent-Disposition: form-data; \t\tname=\"Filename\"\r\n\r\na.png\r\n"
                                  "--B\r\nContent-Disposition: form-data; \t\t\t\t\t\t\tname=\"_dataField\"\r\n\r\nfield\r\n"
                                  "--B\r\nContent-Disposition: form-data; \t\t\t\t\t\t\tname=\"File\"; filename=\"a.png\"\r\n"
                                  "Content-Type: image/png\r\n\r\n"
                                  "DATA"
                                  "\r\n--B--\r\n"));
    }

    // The file part's header stays well formed whatever the name holds; a name that is not plain
    // printable ASCII also travels exactly, percent-encoded, in filename*.
    void fileNameHeader_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("parameters");
        QTest::newRow("plain") << "a.png" << QByteArray("filename=\"a.png\"");
        QTest::newRow("blanks and apostrophe") << "it's a.png" << QByteArray("filename=\"it's a.png\"");
        QTest::newRow("quotes") << "say \"hi\".png" << QByteArray("filename=\"say \\\"hi\\\".png\"");
        QTest::newRow("backslash") << "a\\b.png" << QByteArray("filename=\"a\\\\b.png\"");
        QTest::newRow("chinese") << QStringLiteral("照片.png")
                                 << QByteArray("filename=\"\xe7\x85\xa7\xe7\x89\x87.png\"; "
                                               "filename*=UTF-8''%E7%85%A7%E7%89%87.png");
        QTest::newRow("accent and blank") << QStringLiteral("café 1.jpg")
                                          << QByteArray("filename=\"caf\xc3\xa9 1.jpg\"; filename*=UTF-8''caf%C3%A9%201.jpg");
        QTest::newRow("line break") << "a\r\nX-Evil: 1.png"
                                    << QByteArray("filename=\"a__X-Evil: 1.png\"; filename*=UTF-8''a%0D%0AX-Evil%3A%201.png");
        QTest::newRow("quote and chinese") << QStringLiteral("\"图\".png")
                                           << QByteArray("filename=\"\\\"\xe5\x9b\xbe\\\".png\"; "
                                                         "filename*=UTF-8''%22%E5%9B%BE%22.png");
    }
    void fileNameHeader()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, parameters);
        QCOMPARE(HttpUploader::fileNameParameters(name), parameters);
        const QByteArray body = HttpUploader::multipartBody(QStringLiteral("B"), name, QString(), QStringLiteral("t"), "D");
        QVERIFY(body.contains("name=\"File\"; " + parameters + "\r\nContent-Type: t\r\n\r\nD\r\n--B--\r\n"));
    }

    void fileNames_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("name");
        QTest::newRow("absolute") << "/tmp/pics/a.png" << "a.png";
        QTest::newRow("relative") << "data/app/_pictures/picCache_3.jpg" << "picCache_3.jpg";
        QTest::newRow("bare") << "b.gif" << "b.gif";
        QTest::newRow("chinese") << "/tmp/照片.png" << "照片.png";
    }
    void fileNames()
    {
        QFETCH(QString, path);
        QFETCH(QString, name);
        QCOMPARE(HttpUploader::fileNameOf(path), name);
    }

    void postsTheFileByteForByte_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("name");
        QTest::newRow("small") << 1000 << "pic.png";
        QTest::newRow("binary with CRLF inside") << 70000 << "照片 1.jpg";
        QTest::newRow("quoted name") << 100 << "say \"hi\".png";
    }
    void postsTheFileByteForByte()
    {
        QFETCH(int, size);
        QFETCH(QString, name);
        QTemporaryDir dir;
        QByteArray data = patternBytes(size);
        data.replace(10, 4, "\r\n--");
        const QString path = writeFile(dir, name, data);
        UploadServer server;
        HttpUploader uploader(path, server.url(), QStringLiteral("数据"), QStringLiteral("image/png"));
        QSignalSpy finished(&uploader, &HttpUploader::finished);
        QSignalSpy errors(&uploader, &HttpUploader::error);
        QVERIFY(uploader.start());
        QVERIFY(finished.wait(10000));
        QCOMPARE(errors.count(), 0);
        QCOMPARE(server.method, QByteArray("POST"));
        QCOMPARE(server.target, QByteArray("/upload"));
        QCOMPARE(server.headers.value("connection").toLower(), QByteArray("keep-alive"));
        const QByteArray boundary = boundaryOf(server);
        QCOMPARE(boundary.size(), 36);
        QVERIFY(!boundary.contains('{'));
        QVERIFY(server.body.startsWith("--" + boundary + "\r\n--" + boundary + "\r\n"));
        QVERIFY(server.body.endsWith("\r\n--" + boundary + "--\r\n"));
        QCOMPARE(server.body, HttpUploader::multipartBody(QString::fromLatin1(boundary), name, QStringLiteral("数据"),
                                                          QStringLiteral("image/png"), data));
    }

    void fiftyMebibytesWithRisingProgress()
    {
        QTemporaryDir dir;
        const QByteArray data = patternBytes(50 * 1024 * 1024);
        const QString path = writeFile(dir, QStringLiteral("big.bin"), data);
        UploadServer server;
        HttpUploader uploader(path, server.url(), QString(), QStringLiteral("application/octet-stream"));
        QVector<QPair<qint64, qint64>> progress;
        connect(&uploader, &HttpUploader::uploadProgress, this,
                [&progress](qint64 sent, qint64 total) { progress.append({sent, total}); });
        QSignalSpy finished(&uploader, &HttpUploader::finished);
        QVERIFY(uploader.start());
        QVERIFY(finished.wait(60000));
        QCOMPARE(server.body.size(), data.size() + HttpUploader::multipartBody(QString::fromLatin1(boundaryOf(server)),
                                                                               QStringLiteral("big.bin"), QString(),
                                                                               QStringLiteral("application/octet-stream"),
                                                                               QByteArray())
                                                           .size());
        QVERIFY(server.body.mid(server.body.indexOf("\r\n\r\n", server.body.indexOf("filename=")) + 4, data.size()) == data);
        QVERIFY(progress.size() > 2);
        qint64 last = -1;
        for (const auto &step : progress) {
            if (step.second <= 0)
                continue;
            QVERIFY(step.first >= last);
            last = step.first;
            QCOMPARE(step.second, qint64(server.body.size()));
        }
        QCOMPARE(last, qint64(server.body.size()));
    }

    void serverErrorIsReported()
    {
        QTemporaryDir dir;
        const QString path = writeFile(dir, QStringLiteral("a.png"), "abc");
        UploadServer server;
        server.status = 500;
        HttpUploader uploader(path, server.url(), QString(), QString());
        QSignalSpy finished(&uploader, &HttpUploader::finished);
        QSignalSpy errors(&uploader, &HttpUploader::error);
        QVERIFY(uploader.start());
        QVERIFY(finished.wait(10000));
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.at(0).at(0).value<QNetworkReply::NetworkError>(), QNetworkReply::InternalServerError);
    }

    void refusedConnectionIsReported()
    {
        QTemporaryDir dir;
        const QString path = writeFile(dir, QStringLiteral("a.png"), "abc");
        quint16 port;
        {
            UploadServer closed;
            port = closed.serverPort();
        }
        HttpUploader uploader(path, QStringLiteral("http://127.0.0.1:%1/x").arg(port), QString(), QString());
        QSignalSpy finished(&uploader, &HttpUploader::finished);
        QSignalSpy errors(&uploader, &HttpUploader::error);
        QVERIFY(uploader.start());
        QVERIFY(finished.wait(10000));
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.at(0).at(0).value<QNetworkReply::NetworkError>(), QNetworkReply::ConnectionRefusedError);
    }

    void nothingIsSentForEmptyOrUnreadableFiles_data()
    {
        QTest::addColumn<bool>("exists");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QByteArray>("box");
        QTest::newRow("empty") << true << "上传文件为空!" << QByteArray();
        QTest::newRow("missing") << false << "打开文件失败!" << QByteArray("错误: 打开文件失败!");
    }
    void nothingIsSentForEmptyOrUnreadableFiles()
    {
        QFETCH(bool, exists);
        QFETCH(QString, error);
        QFETCH(QByteArray, box);
        QTemporaryDir dir;
        const QString path = exists ? writeFile(dir, QStringLiteral("empty.png"), QByteArray()) : dir.filePath("no.png");
        UploadServer server;
        HttpUploader uploader(path, server.url(), QString(), QString());
        StderrCapture capture;
        QVERIFY(!uploader.start());
        QCOMPARE(uploader.errorString(), error);
        if (!box.isEmpty())
            QVERIFY(capture.text().contains(box));
        QTest::qWait(50);
        QCOMPARE(server.requests, 0);
    }
};

QTEST_MAIN(tst_HttpUploader)
#include "tst_httpuploader.moc"
