#include "testswitches.h"

#include <csignal>
#include <unistd.h>

#ifndef KAVO_TEST_SWITCHES
#define KAVO_TEST_SWITCHES 0
#endif

namespace TestSwitches {

bool builtIn()
{
    return KAVO_TEST_SWITCHES != 0;
}

#if KAVO_TEST_SWITCHES
// The variables' names exist only in builds with the switches.
static const char *name(Switch which)
{
    switch (which) {
    case UpdateConsent:
        return "KAVO_UPDATE_CONSENT";
    case KillAt:
        return "KAVO_TEST_KILL_AT";
    case StopAt:
        return "KAVO_TEST_STOP_AT";
    }
    return "";
}

bool isSet(Switch which)
{
    return qEnvironmentVariableIsSet(name(which));
}

QByteArray value(Switch which)
{
    return qgetenv(name(which));
}
#else
bool isSet(Switch)
{
    return false;
}

QByteArray value(Switch)
{
    return QByteArray();
}
#endif

} // namespace TestSwitches

void testKillPoint(const char *stage, int index)
{
    static const QByteArray killAt = TestSwitches::value(TestSwitches::KillAt);
    static const QByteArray stopAt = TestSwitches::value(TestSwitches::StopAt);
    if (killAt.isEmpty() && stopAt.isEmpty())
        return;
    QByteArray here(stage);
    if (index >= 0)
        here += ':' + QByteArray::number(index);
    if (killAt == here)
        ::kill(::getpid(), SIGKILL);
    if (stopAt == here)
        ::kill(::getpid(), SIGSTOP);
}
