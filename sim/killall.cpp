// Simulated `killall`: the router's daemons are entries in the state file
// ("acsd=1" while the channel-selection daemon runs).  Killing one clears its
// entry; killing one that is not running fails the way the real tool does.
#include "simcommon.h"

int main(int argc, char **argv) {
    sim::journal(argc, argv);
    sim::Fault f = sim::takeFault("killall");
    if (f.exitStatus != 0) return f.exitStatus;

    int rc = 0, named = 0;
    sim::Lock lock;
    sim::State s = sim::loadState();
    for (int i = 1; i < argc; i++) {
        if (argv[i][0] == '-') continue;  // signal and other options
        named++;
        std::string name = argv[i];
        // Daemons the router runs at boot; anything else is not running.
        bool running = s.count(name) ? sim::getNum(s, name, 0) == 1 : name == "acsd";
        if (!running) {
            fprintf(stderr, "%s: no process found\n", name.c_str());
            rc = 1;
        }
        s[name] = "0";
    }
    if (named == 0) {
        fprintf(stderr, "Usage: killall [-SIGNAL] NAME...\n");
        return 1;
    }
    sim::saveState(s);
    return rc;
}
