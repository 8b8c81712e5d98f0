#include "shell/argmentparser.h"
#include "shell/startup.h"
#include "shell/stylesheet.h"

#include <QApplication>

int main(int argc, char **argv)
{
    prepareLibraryPaths();
    QApplication app(argc, argv);
    installSystemCodec();
    if (!loadStyleSheet())
        return -1;
    const ArgumentTable arguments = ArgmentParser::parse(QCoreApplication::arguments());
    Q_UNUSED(arguments);
    // The window, server and bridge join here as they land; until then the program starts,
    // sets itself up and ends cleanly.
    return 0;
}
