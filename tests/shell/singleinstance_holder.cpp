// Holds an instance guard until it is killed: "KEY", or "--app NAME" for the key of that
// application and the user running the holder. With "--listen" it also answers activation
// requests and prints "activated" for each.
#include "shell/singleinstance.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    const bool listen = arguments.removeAll(QStringLiteral("--listen")) > 0;
    if (arguments.isEmpty())
        return 2;
    const QString key = arguments.first() == QLatin1String("--app") && arguments.size() > 1
                            ? SingleInstance::instanceKey(arguments.at(1))
                            : arguments.first();
    SingleInstance guard;
    const SingleInstance::Result result = guard.acquire(key);
    if (listen && result == SingleInstance::Acquired && !guard.listenForActivation())
        return 3;
    QObject::connect(&guard, &SingleInstance::activationRequested, [] {
        std::printf("activated\n");
        std::fflush(stdout);
    });
    std::printf("%d\n", int(result));
    std::fflush(stdout);
    return app.exec();
}
