// kavo-get URL DEST [-c N]: one download with the real engine; exit 0 only on success.
#include "download/httpdownloadmanager.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    int connections = 5;
    const int c = args.indexOf(QStringLiteral("-c"));
    if (c >= 0 && c + 1 < args.size()) {
        connections = args.at(c + 1).toInt();
        args.erase(args.begin() + c, args.begin() + c + 2);
    }
    if (args.size() != 2 || connections <= 0) {
        QTextStream(stderr) << "usage: kavo-get URL DEST [-c N]\n";
        return 2;
    }
    const QString url = args.at(0);
    HttpDownloadManager manager;
    int rc = 1;
    QObject::connect(&manager, &HttpDownloadManager::finished, &app,
                     [&](const QString &, const NetworkError &error) {
        if (error.hasError())
            QTextStream(stderr) << "kavo-get: " << error.toString() << "\n";
        else
            rc = 0;
        app.quit();
    });
    manager.addTask(url, QFileInfo(args.at(1)).absoluteFilePath(), connections);
    QMetaObject::invokeMethod(&manager, [&] { manager.startTask(url); }, Qt::QueuedConnection);
    app.exec();
    return rc;
}
