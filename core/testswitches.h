#pragma once

#include <QByteArray>

// Switches by which the tests steer the programs through their environment. Only builds
// configured with KAVO_TEST_SWITCHES=ON obey them; in the programs users get (./kavo.sh package,
// any build left at the default) they are compiled out and their variables are never read, so
// nobody can answer the update question for the user or end the updater at will.
namespace TestSwitches {

enum Switch {
    UpdateConsent, // KAVO_UPDATE_CONSENT: the answer to the update question ("yes" or anything else)
    KillAt,        // KAVO_TEST_KILL_AT=stage[:index]: SIGKILL on reaching that point
    StopAt,        // KAVO_TEST_STOP_AT=stage[:index]: SIGSTOP there, until a SIGCONT
};

// Whether this build obeys them.
bool builtIn();
// Whether the switch's variable is set; always false without them.
bool isSet(Switch which);
// Its value; always empty without them.
QByteArray value(Switch which);

} // namespace TestSwitches

// With KAVO_TEST_KILL_AT or KAVO_TEST_STOP_AT naming this point ("stage" or "stage:index"), the
// process kills or stops itself here. Otherwise, and always in builds without the switches, it
// does nothing.
void testKillPoint(const char *stage, int index = -1);
