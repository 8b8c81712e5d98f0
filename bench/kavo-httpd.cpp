// Runs the real HTTP server over any directory, for benchmarks and black-box tests.
#include "httpserver/httpserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOption({"root", "Directory to serve.", "dir"});
    parser.addOption({"port", "Port to listen on.", "port", QString::number(HttpServer::DefaultPort)});
    parser.addOption({"bind", "Address to listen on.", "address", "127.0.0.1"});
    parser.process(app);
    // The per-connection debug lines would dominate a benchmark.
    QLoggingCategory::setFilterRules("*.debug=false");

    HttpServer server(parser.value("root"));
    if (!server.listen(QHostAddress(parser.value("bind")), quint16(parser.value("port").toUInt()))) {
        QTextStream(stderr) << "cannot listen on port " << parser.value("port") << "\n";
        return 1;
    }
    return app.exec();
}
