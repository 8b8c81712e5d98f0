#include "core/messagebox.h"
#include "core/argmentparser.h"
#include "core/startup.h"
#include "core/stylesheet.h"
#include "updater/updatemanager.h"

#include <QApplication>

int main(int argc, char **argv)
{
    ignoreLostOutput();
    prepareLibraryPaths();
    QApplication app(argc, argv);
    installSystemCodec();
    installQtTranslations();
    const ArgumentTable arguments = ArgmentParser::parse(argc, argv);
    // Without a mode nothing would ever end the process.
    const bool hasMode = arguments.contains(QStringLiteral("-beginUpdate")) || arguments.contains(QStringLiteral("-execUpdate"));
    if (argc < 2 || !hasMode || !loadStyleSheet()) {
        showCriticalMessage(QStringLiteral("错误"), QStringLiteral("亲,人品不对吧!"));
        return 1;
    }
    // The updater has no main window; closing its dialog or notification must not end a run.
    app.setQuitOnLastWindowClosed(false);
    UpdateManager manager;
    manager.setArguments(arguments);
    manager.run();
    return app.exec();
}
