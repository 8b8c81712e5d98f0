// Holds the instance guard of the key given as argument until it is killed.
#include "shell/singleinstance.h"

#include <QCoreApplication>
#include <QThread>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    SingleInstance guard;
    const SingleInstance::Result result = guard.acquire(QString::fromUtf8(argv[1]));
    std::printf("%d\n", int(result));
    std::fflush(stdout);
    for (;;)
        QThread::sleep(1);
}
