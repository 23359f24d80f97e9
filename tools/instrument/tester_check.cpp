// rfprobe-tester: the station's tester operations by hand, to bring up a
// fixture or check a profile against a tester without running a plan.
//
//   rfprobe-tester FIXTURE idn
//   rfprobe-tester FIXTURE measure IFACE --channel C [--bw W] [--level DBM]
//   rfprobe-tester FIXTURE send IFACE --channel C [--bw W] --level DBM
//                  [--rate I] [--frames N]
//   rfprobe-tester FIXTURE scpi COMMAND...
//
// Levels are at the unit's port: the fixture's path loss is applied as a
// plan step applies it.  Exit status 0, 1 (the tester failed: the message
// names it and the command), 2 (bad arguments or fixture: nothing sent).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "instrument/fixture.h"
#include "instrument/tester.h"

using namespace instrument;

namespace {

int usage(const char *why) {
    if (why) fprintf(stderr, "rfprobe-tester: %s\n", why);
    fprintf(stderr,
            "usage: rfprobe-tester FIXTURE idn\n"
            "       rfprobe-tester FIXTURE measure IFACE --channel C [--bw W] [--level DBM]\n"
            "       rfprobe-tester FIXTURE send IFACE --channel C [--bw W] --level DBM [--rate I] [--frames N]\n"
            "       rfprobe-tester FIXTURE scpi COMMAND...\n");
    return 2;
}

int failed(const Error &e) {
    fprintf(stderr, "rfprobe-tester: %s\n", e.message.c_str());
    return 1;
}

bool number(const char *s, double lo, double hi, double *v) {
    char *end = nullptr;
    *v = strtod(s, &end);
    return end != s && !*end && *v >= lo && *v <= hi;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) return usage(nullptr);
    Fixture fx;
    std::string why;
    if (!loadFixture(argv[1], &fx, &why)) {
        fprintf(stderr, "rfprobe-tester: %s\n", why.c_str());
        return 2;
    }
    std::string op = argv[2];
    Tester t(fx.profile, fx.tester);
    Error err;
    if (op == "idn") {
        if (!t.connect(&err)) return failed(err);
        printf("%s\n", t.idn().c_str());
        return 0;
    }
    if (op == "scpi") {
        if (argc < 4) return usage("scpi needs a command");
        for (int i = 3; i < argc; i++) {
            std::string reply;
            if (isQuery(argv[i])) {
                if (!t.instrument().query(argv[i], &reply, &err)) return failed(err);
                printf("%s\n", reply.c_str());
            } else if (!t.instrument().command(argv[i], &err)) {
                return failed(err);
            }
        }
        return 0;
    }
    if ((op != "measure" && op != "send") || argc < 4) return usage("unknown operation");
    const FixtureUnit *u = fx.unit(argv[3]);
    if (!u) return usage((std::string("no unit ") + argv[3] + " in " + fx.path).c_str());
    double channel = -1, bw = 20, level = op == "measure" ? 15 : NAN, rate = 0, frames = 1000;
    for (int i = 4; i < argc; i += 2) {
        std::string o = argv[i];
        if (i + 1 >= argc) return usage(("missing value after " + o).c_str());
        const char *v = argv[i + 1];
        bool ok = o == "--channel" ? number(v, 1, 196, &channel)
                  : o == "--bw"    ? number(v, 20, 160, &bw) && (bw == 20 || bw == 40 || bw == 80 || bw == 160)
                  : o == "--level" ? number(v, -130, 40, &level)
                  : o == "--rate"  ? number(v, 0, 48, &rate) && rate == (int)rate
                  : o == "--frames" ? number(v, 1, 10000000, &frames) && frames == (long)frames
                                    : false;
        if (!ok) return usage(("bad option " + o + " " + v).c_str());
    }
    if (channel < 0 || channel != (int)channel) return usage("--channel is needed (a whole number)");
    double f = channelCentreMhz((int)channel, (int)bw, agentSideband((int)channel, (int)bw));
    double loss = u->loss.at(f);
    if (!t.reset(&err) || !t.selectPort(u->port, &err)) return failed(err);
    if (op == "measure") {
        Measurement m;
        if (!t.setupAnalyser(AnalyserSetup{f, bw, level - loss}, &err) || !t.measure(&m, &err)) return failed(err);
        printf("%s port %d, %g MHz, %g MHz wide: power %.2f dBm at the unit (%.2f at the tester, loss %.2f dB), "
               "evm %.2f dB, freq error %.3f ppm\n",
               u->iface.c_str(), u->port, f, bw, u->loss.atUnit(m.powerDbm, f), m.powerDbm, loss, m.evmDb,
               m.freqErrorPpm);
        return 0;
    }
    if (std::isnan(level)) return usage("send needs --level (dBm at the unit)");
    if (!t.setupGenerator(GeneratorSetup{f, bw, u->loss.sourceLevel(level, f), (int)rate}, &err) ||
        !t.sendFrames((long)frames, &err))
        return failed(err);
    printf("%s port %d, %g MHz, %g MHz wide: sent %.0f frames at %.2f dBm at the unit (%.2f at the tester, "
           "loss %.2f dB), rate %d\n",
           u->iface.c_str(), u->port, f, bw, frames, level, u->loss.sourceLevel(level, f), loss, (int)rate);
    return 0;
}
