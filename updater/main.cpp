#include "bridge/messagebox.h"
#include "shell/argmentparser.h"
#include "shell/startup.h"
#include "shell/stylesheet.h"

#include <QApplication>

int main(int argc, char **argv)
{
    prepareLibraryPaths();
    QApplication app(argc, argv);
    installSystemCodec();
    const ArgumentTable arguments = ArgmentParser::parse(argc, argv);
    if (argc < 2 || !loadStyleSheet()) {
        showCriticalMessage(QStringLiteral("错误"), QStringLiteral("亲,人品不对吧!"));
        return 1;
    }
    // Download and execute modes arrive with the update manager.
    Q_UNUSED(arguments);
    return 0;
}
