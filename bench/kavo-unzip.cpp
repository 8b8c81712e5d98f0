// Unpacks an archive with the real extraction code: kavo-unzip ARCHIVE DEST.
#include "zip/zipdecompress.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules("*.debug=false");
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        QTextStream(stderr) << "usage: kavo-unzip ARCHIVE DEST\n";
        return 2;
    }
    ZipDecompress zip;
    if (zip.openQuietly(args[1]) != ZipDecompress::Ok) {
        QTextStream(stderr) << "cannot open " << args[1] << "\n";
        return 1;
    }
    const int result = zip.extractAll(args[2]);
    zip.close();
    return result;
}
