#include "core/testswitches.h"

#include <cstdio>

// The test switches compiled as in the programs users get: it reports what it hears of them
// and passes a kill point named "probe"; nothing of the environment may reach it.
int main()
{
    testKillPoint("probe");
    std::printf("built in: %d, consent: '%s', alive\n", int(TestSwitches::builtIn()),
                TestSwitches::value(TestSwitches::UpdateConsent).constData());
    return 0;
}
