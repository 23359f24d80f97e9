// simtester: the simulated RF tester, a SCPI server on a raw TCP socket.
//
// One tester port is cabled to each simulated router; the tester follows
// the router's radio through its state file (sim dir, see simcommon.h) and
// knows the unit's truth from its "unit" file (unittruth.h):
//   - the analyser measures only what the radio transmits: its packet
//     engine running, on the channel and bandwidth the analyser is set to;
//     otherwise a measurement answers 9.91E37 (not-a-number) and queues
//     -230 saying why;
//   - power = the PA's true output at the radio's detector code
//     (pamodel.h) - the port's cable loss + Gaussian noise (sigma 0.1 dB),
//     EVM from the unit's floor, worse above 17 dBm, frequency error the
//     unit's crystal (ppm);
//   - generator frames reach the router's receive counter only while its
//     receive test is armed on the generator's channel and bandwidth, each
//     with the probability the unit's sensitivity gives at its level.  The
//     tester only reads the radio's state; the frames received go into its
//     own file SIMDIR/rxgen, which the radio adds to its counter (wl.cpp).
// docs/tester.md lists the dialect; sim/simtester.toml is its profile.
//
// --dialect lab makes it answer as a lab tester written by someone else
// would (sim/labtester.toml is its profile): long-form headers only,
// INITiate:WLAN starts a capture that takes --capture-ms, FETCh queries
// answer "status,value" in its own units (EVM in %, frequency error in
// Hz), a reference level without headroom overloads, waveforms are named,
// and its error queue holds 10 entries of its own texts with "+0,"No
// error"".
//
//   simtester [--listen ADDR:PORT] [--seed N] [--fps F] [--serial S]
//             [--dialect sim|lab] [--capture-ms MS]
//             --port N=SIMDIR [--loss N=MHZ:DB,MHZ:DB...] ...
//   simtester --truth SIMDIR    print the unit's truth (key=value lines)
//   simtester --golden SIMDIR SERIAL CHANNELS POWERS
//                               print the unit's truth as a golden reference
//                               file (CHANNELS, POWERS comma-separated)
//
// The rig's fault cable-drift: a number of dB in SIMDIR/fault.cable-drift is
// added to that port's cable loss while the file is there (a worn cable, a
// loose connector), read at every measurement.
//
// It prints "simtester: listening on ADDR:PORT" once it accepts
// connections (port 0 picks a free one) and runs until SIGTERM or SIGINT.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <cmath>
#include <deque>
#include <functional>

#include "pamodel.h"
#include "simcommon.h"
#include "unittruth.h"

namespace {

volatile sig_atomic_t gStop = 0;
void onSignal(int) { gStop = 1; }

long long monoMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

struct Port {
    std::string simDir;                              // empty: nothing cabled
    long long received = 0;                          // frames that reached the radio
    std::vector<std::pair<double, double>> loss;     // (MHz, dB)
    double lossAt(double mhz) const { return tableAt(mhz) + driftDb(); }
    double tableAt(double mhz) const {
        if (loss.empty()) return 0;
        if (mhz <= loss.front().first) return loss.front().second;
        if (mhz >= loss.back().first) return loss.back().second;
        for (size_t i = 1; i < loss.size(); i++)
            if (mhz <= loss[i].first)
                return loss[i - 1].second + (loss[i].second - loss[i - 1].second) * (mhz - loss[i - 1].first) /
                                                (loss[i].first - loss[i - 1].first);
        return loss.back().second;
    }
    // The rig's cable-drift fault on this port, dB (0 without it).
    double driftDb() const {
        std::string text;
        if (simDir.empty() || !sim::readFile(simDir + "/fault.cable-drift", text)) return 0;
        double d = strtod(text.c_str(), nullptr);
        return std::isfinite(d) ? d : 0;
    }
};

struct Settings {
    int port = 1;
    double anFreq = 2412, anBw = 20, anLevel = 0;  // anLevel: the lab's reference level
    double genFreq = 2412, genBw = 20, genLevel = -60;
    int genRate = 0;
    long genCount = 1;
};

enum class ReplyFault { None, Garbage, Truncate, Silent };

struct Client {
    int fd;
    std::string in, out;
    bool waitingOpc = false;  // *OPC? held until the generator is done
    bool closeAfterFlush = false;
};

struct Tester {
    std::map<int, Port> ports;
    std::string serial = "SIM0001";
    double fps = 2000;
    Settings set;
    std::deque<std::pair<int, std::string>> errors;
    sim::Rng noise{1};
    ReplyFault fault = ReplyFault::None;
    // The generator.
    bool genRunning = false;
    int genPort = 0;
    long genDelivered = 0;
    long long genStart = 0;

    // The lab dialect: its capture, started by INITiate:WLAN.
    bool lab = false;
    int captureMs = 150;
    struct Capture {
        bool started = false;
        long long doneAt = 0;
        int status = 0;  // 0 valid, 1 no signal, 2 overload
        std::string why;
        double powerDbm = 0, evmPct = 0, ferrHz = 0;
    } capture;
    bool capturing() const { return capture.started && monoMs() < capture.doneAt; }

    size_t queueMax() const { return lab ? 10 : 16; }

    void error(int code, std::string text) {
        if (lab) text = labText(code) + (text.find(';') == std::string::npos ? "" : text.substr(text.find(';')));
        if (errors.size() >= queueMax()) {
            errors.back() = {-350, lab ? "Error queue full" : "Queue overflow"};
            return;
        }
        errors.emplace_back(code, text);
    }

    // The lab tester's own wording of the standard errors.
    static std::string labText(int code) {
        switch (code) {
            case -102: return "Line too long";
            case -104: return "Numeric value expected";
            case -108: return "Unexpected parameter";
            case -109: return "Parameter missing";
            case -113: return "Command not recognised";
            case -213: return "Already running";
            case -221: return "Instrument busy";
            case -222: return "Value outside limits";
            case -224: return "Unknown choice";
            case -230: return "Measurement invalid";
        }
        return "Error " + std::to_string(code);
    }
};

Tester T;

std::string upper(std::string s) {
    for (char &c : s) c = (char)toupper((unsigned char)c);
    return s;
}

// One node of a header against "SENSe": its short form (the capitals) or
// its long form, any case.
bool nodeMatches(const std::string &pattern, const std::string &node) {
    if (T.lab) return upper(node) == upper(pattern);  // long forms only
    std::string shortForm;
    for (char c : pattern)
        if (isupper((unsigned char)c) || isdigit((unsigned char)c) || c == '*' || c == '?') shortForm += c;
    std::string n = upper(node);
    return n == shortForm || n == upper(pattern);
}

// "SYSTem:ERRor[:NEXT]?" against a header.
bool headerMatches(const std::string &pattern, std::string header) {
    if (!header.empty() && header[0] == ':') header.erase(0, 1);
    std::vector<std::string> options = {pattern};
    size_t lb = pattern.find('[');
    if (lb != std::string::npos) {
        size_t rb = pattern.find(']', lb);
        options = {pattern.substr(0, lb) + pattern.substr(rb + 1),
                   pattern.substr(0, lb) + pattern.substr(lb + 1, rb - lb - 1) + pattern.substr(rb + 1)};
    }
    for (const std::string &p : options) {
        std::vector<std::string> pn, hn;
        std::string cur;
        std::istringstream ps(p), hs(header);
        while (std::getline(ps, cur, ':')) pn.push_back(cur);
        while (std::getline(hs, cur, ':')) hn.push_back(cur);
        if (pn.size() != hn.size()) continue;
        bool ok = true;
        for (size_t i = 0; i < pn.size() && ok; i++) ok = nodeMatches(pn[i], hn[i]);
        if (ok) return true;
    }
    return false;
}

using Args = std::vector<std::string>;

// A numeric argument, or an error queued (-109, -104, -222).
bool number(const Args &a, size_t i, double lo, double hi, double *v) {
    if (i >= a.size()) {
        T.error(-109, "Missing parameter");
        return false;
    }
    const char *s = a[i].c_str();
    char *end = nullptr;
    double d = strtod(s, &end);
    if (end == s || *end || !std::isfinite(d)) {
        T.error(-104, "Data type error;\"" + a[i] + "\" is not a number");
        return false;
    }
    if (d < lo || d > hi) {
        char buf[128];
        snprintf(buf, sizeof buf, "Data out of range;%s not in %g..%g", a[i].c_str(), lo, hi);
        T.error(-222, buf);
        return false;
    }
    *v = d;
    return true;
}

std::string num(double v) {
    char buf[64];
    snprintf(buf, sizeof buf, "%.4f", v);
    return buf;
}

// The coefficients the radio holds for a chain (its state), else the defaults.
pa::Coeffs storedCoeffs(sim::State &s, int chain) {
    static const char *names[6] = {"pa2gw0a0", "pa2gw1a0", "pa2gw2a0", "pa2gw0a1", "pa2gw1a1", "pa2gw2a1"};
    pa::Coeffs c = pa::kDefault[chain];
    int16_t *v[3] = {&c.c1, &c.c2, &c.c3};
    for (int i = 0; i < 3; i++)
        if (s.count(names[chain * 3 + i])) *v[i] = (int16_t)(sim::getNum(s, names[chain * 3 + i], 0) & 0xffff);
    return c;
}

// What the analyser sees on the selected port: the true output at the
// tester's port, or false with why in *why.
struct Signal {
    double outputDbm;  // at the unit's antenna port
    sim::UnitTruth truth;
};

bool transmitted(Signal *sig, std::string *why) {
    auto it = T.ports.find(T.set.port);
    char buf[160];
    if (it == T.ports.end() || it->second.simDir.empty()) {
        snprintf(buf, sizeof buf, "no signal;nothing cabled to port %d", T.set.port);
        *why = buf;
        return false;
    }
    const std::string &dir = it->second.simDir;
    sim::State s = sim::loadState(dir);  // replaced whole by a rename: no lock
    int channel = (int)sim::getNum(s, "channel", 1), bw = (int)sim::getNum(s, "bw", 20);
    double centre = sim::channelCentreMhz(channel, bw, (int)sim::getNum(s, "sideband", 0));
    if (sim::getNum(s, "up", 1) != 1 || s.count("pkteng") == 0 || s["pkteng"] == "0") {
        snprintf(buf, sizeof buf, "no signal;the unit on port %d is not transmitting", T.set.port);
        *why = buf;
        return false;
    }
    if (std::fabs(centre - T.set.anFreq) > 0.5 || bw != (int)T.set.anBw) {
        snprintf(buf, sizeof buf, "no signal;the unit transmits at %g MHz, %d MHz wide, not at %g MHz, %g MHz",
                 centre, bw, T.set.anFreq, T.set.anBw);
        *why = buf;
        return false;
    }
    sig->truth = sim::loadTruth(dir);
    int chain = sim::getNum(s, "txchain", 3) == 2 ? 1 : 0;
    int det;
    if (s.count("txdet")) {
        det = (int)sim::getNum(s, "txdet", 0);
    } else {
        long long q = sim::getNum(s, "txpwr_qdbm", -1);
        det = pa::detectorCode(storedCoeffs(s, chain), q < 0 ? 18.0 : q / 4.0);
    }
    sig->outputDbm = sig->truth.output(chain, det);
    return true;
}

// A measurement query: the value, or 9.91E37 and -230.
void measure(std::string *reply, const std::function<double(const Signal &)> &value) {
    Signal sig;
    std::string why;
    if (!transmitted(&sig, &why)) {
        T.error(-230, "Data corrupt or stale;" + why.substr(why.find(';') + 1));
        *reply = "9.91E37";
        return;
    }
    *reply = num(value(sig));
}

// Frames of the generator due by now reach the unit on its port.
void runGenerator() {
    if (!T.genRunning) return;
    long due = (long)((monoMs() - T.genStart) * T.fps / 1000.0);
    if (due > T.set.genCount) due = T.set.genCount;
    long n = due - T.genDelivered;
    if (n <= 0) return;
    T.genDelivered = due;
    auto it = T.ports.find(T.genPort);
    if (it != T.ports.end() && !it->second.simDir.empty()) {
        const std::string &dir = it->second.simDir;
        sim::UnitTruth truth = sim::loadTruth(dir);
        // The state is only read: it is replaced whole by a rename.
        sim::State s = sim::loadState(dir);
        int channel = (int)sim::getNum(s, "channel", 1), bw = (int)sim::getNum(s, "bw", 20);
        double centre = sim::channelCentreMhz(channel, bw, (int)sim::getNum(s, "sideband", 0));
        if (sim::getNum(s, "up", 1) == 1 && sim::getNum(s, "rxarmed", 0) == 1 &&
            std::fabs(centre - T.set.genFreq) <= 0.5 && bw == (int)T.set.genBw) {
            double level = T.set.genLevel - it->second.lossAt(T.set.genFreq);
            double sens = sim::nominalSensitivity(T.set.genRate, bw) + truth.sensOffsetDb;
            double per = sim::packetErrorRate(level - sens);
            long got = 0;
            for (long i = 0; i < n; i++) got += T.noise.uniform() >= per;
            // The radio adds what is new here to its counter (wl.cpp).
            if (got) {
                it->second.received += got;
                sim::writeFileAtomic(dir + "/rxgen", std::to_string(it->second.received) + "\n");
            }
        }
    }
    if (T.genDelivered >= T.set.genCount) T.genRunning = false;
}

bool generatorIdle() {
    if (T.genRunning) {
        T.error(-221, "Settings conflict;the generator is sending");
        return false;
    }
    return true;
}

// The error queue's next entry ("CODE,\"TEXT\""), or noError's code with
// "No error" when it is empty.
std::string nextError(const char *noError) {
    if (T.errors.empty()) return std::string(noError) + ",\"No error\"";
    // A quote inside a SCPI string is doubled.
    std::string text;
    for (char c : T.errors.front().second) text += c == '"' ? "\"\"" : std::string(1, c);
    std::string r = std::to_string(T.errors.front().first) + ",\"" + text + "\"";
    T.errors.pop_front();
    return r;
}

// Selects a cabled port; never while the generator sends.
bool selectPort(const Args &a) {
    double v;
    int maxPort = T.ports.empty() ? 1 : T.ports.rbegin()->first;
    if (number(a, 0, 1, maxPort, &v) && generatorIdle()) T.set.port = (int)v;
    return true;
}

struct Cmd {
    const char *pattern;
    // Runs the command; reply non-null for a query.  Returns false when it
    // must wait (*OPC? during a burst).
    std::function<bool(const Args &, std::string *)> run;
};

std::string block(size_t n) {
    std::string payload(n, 0);
    for (size_t i = 0; i < n; i++) payload[i] = (char)((i * 7 + i / 251) & 0xff);
    std::string len = std::to_string(n);
    return "#" + std::to_string(len.size()) + len + payload;
}

// DIAGnostic:FAULt m: the next reply garbled, cut or not sent.
bool diagFault(const Args &a, std::string *) {
    std::string m = a.empty() ? "" : upper(a[0]);
    if (m == "NONE") T.fault = ReplyFault::None;
    else if (m == "GARB" || m == "GARBAGE") T.fault = ReplyFault::Garbage;
    else if (m == "TRUN" || m == "TRUNCATE") T.fault = ReplyFault::Truncate;
    else if (m == "SIL" || m == "SILENT") T.fault = ReplyFault::Silent;
    else if (a.empty()) T.error(-109, "Missing parameter");
    else T.error(-224, "Illegal parameter value;NONE, GARBage, TRUNcate or SILent");
    return true;
}

const std::vector<Cmd> &commands() {
    static const std::vector<Cmd> cmds = {
        {"*IDN?", [](const Args &, std::string *r) { *r = "rfprobe,SIMTESTER," + T.serial + ",1.0"; return true; }},
        {"*RST", [](const Args &, std::string *) { T.set = Settings(); T.genRunning = false; return true; }},
        {"*CLS", [](const Args &, std::string *) { T.errors.clear(); return true; }},
        // Ends a burst at once (a station stopping a unit mid-burst).
        {"ABORt", [](const Args &, std::string *) { T.genRunning = false; return true; }},
        {"*OPC?", [](const Args &, std::string *r) { *r = "1"; return !T.genRunning; }},
        {"SYSTem:ERRor[:NEXT]?", [](const Args &, std::string *r) { *r = nextError("0"); return true; }},
        {"ROUTe:PORT", [](const Args &a, std::string *) { return selectPort(a); }},
        {"ROUTe:PORT?", [](const Args &, std::string *r) { *r = std::to_string(T.set.port); return true; }},
        {"SENSe:FREQuency", [](const Args &a, std::string *) { number(a, 0, 2000, 6000, &T.set.anFreq); return true; }},
        {"SENSe:FREQuency?", [](const Args &, std::string *r) { *r = num(T.set.anFreq); return true; }},
        {"SENSe:BANDwidth", [](const Args &a, std::string *) {
             double v;
             if (number(a, 0, 20, 160, &v)) {
                 if (v != 20 && v != 40 && v != 80 && v != 160) T.error(-222, "Data out of range;bandwidth 20, 40, 80 or 160");
                 else T.set.anBw = v;
             }
             return true;
         }},
        {"SENSe:BANDwidth?", [](const Args &, std::string *r) { *r = num(T.set.anBw); return true; }},
        {"SENSe:POWer:LEVel", [](const Args &a, std::string *) { number(a, 0, -60, 40, &T.set.anLevel); return true; }},
        {"SENSe:POWer:LEVel?", [](const Args &, std::string *r) { *r = num(T.set.anLevel); return true; }},
        {"MEASure:POWer?", [](const Args &, std::string *r) {
             // measure() answers only for a cabled port, so it is there.
             measure(r, [](const Signal &s) {
                 return s.outputDbm - T.ports.at(T.set.port).lossAt(T.set.anFreq) + 0.1 * T.noise.gauss();
             });
             return true;
         }},
        {"MEASure:EVM?", [](const Args &, std::string *r) {
             measure(r, [](const Signal &s) {
                 return s.truth.evmFloorDb + 1.2 * std::fmax(0, s.outputDbm - 17) + 0.3 * T.noise.gauss();
             });
             return true;
         }},
        {"MEASure:FERRor?", [](const Args &, std::string *r) {
             measure(r, [](const Signal &s) { return s.truth.crystalPpm + 0.05 * T.noise.gauss(); });
             return true;
         }},
        {"SOURce:FREQuency", [](const Args &a, std::string *) {
             double v;
             if (number(a, 0, 2000, 6000, &v) && generatorIdle()) T.set.genFreq = v;
             return true;
         }},
        {"SOURce:BANDwidth", [](const Args &a, std::string *) {
             double v;
             if (number(a, 0, 20, 160, &v) && generatorIdle()) {
                 if (v != 20 && v != 40 && v != 80 && v != 160) T.error(-222, "Data out of range;bandwidth 20, 40, 80 or 160");
                 else T.set.genBw = v;
             }
             return true;
         }},
        {"SOURce:POWer", [](const Args &a, std::string *) {
             double v;
             if (number(a, 0, -130, 0, &v) && generatorIdle()) T.set.genLevel = v;
             return true;
         }},
        {"SOURce:RATE", [](const Args &a, std::string *) {
             double v;
             if (number(a, 0, 0, 48, &v) && generatorIdle()) {
                 if (v != std::floor(v)) T.error(-222, "Data out of range;a rate index is a whole number");
                 else T.set.genRate = (int)v;
             }
             return true;
         }},
        {"SOURce:FRAMes:COUNt", [](const Args &a, std::string *) {
             double v;
             if (number(a, 0, 1, 10000000, &v) && generatorIdle()) T.set.genCount = (long)v;
             return true;
         }},
        {"INITiate:GENerator", [](const Args &, std::string *) {
             if (T.genRunning) {
                 T.error(-213, "Init ignored;the generator is sending");
                 return true;
             }
             T.genRunning = true;
             T.genPort = T.set.port;
             T.genDelivered = 0;
             T.genStart = monoMs();
             return true;
         }},
        {"TRACe:DATA?", [](const Args &a, std::string *r) {
             double n = 100000;
             if (!a.empty() && !number(a, 0, 0, 8000000, &n)) {
                 *r = "#10";
                 return true;
             }
             *r = block((size_t)n);
             return true;
         }},
        {"DIAGnostic:LINE?", [](const Args &a, std::string *r) {
             double n = 1000;
             if (!a.empty() && !number(a, 0, 1, 8000000, &n)) n = 1;
             r->clear();
             for (size_t i = 0; i < (size_t)n; i++) r->push_back((char)('A' + i % 26));
             return true;
         }},
        {"DIAGnostic:FAULt", diagFault},
    };
    return cmds;
}

// The lab dialect's name of a rate index's waveform.
std::string labWaveform(int rate) {
    if (rate < 15) return "NONHT_R" + std::to_string(rate);
    if (rate < 23) return "HT_MCS" + std::to_string(rate - 15);
    return "HT2_R" + std::to_string(rate);
}

// A lab reply's number: "+1.674157E+01".
std::string labNum(double v) {
    char buf[64];
    snprintf(buf, sizeof buf, "%+.6E", v);
    return buf;
}

// INITiate:WLAN: the capture sees what the radio sends now; its results
// are there --capture-ms later.
void startCapture() {
    T.capture = Tester::Capture();
    T.capture.started = true;
    T.capture.doneAt = monoMs() + T.captureMs;
    Signal sig;
    std::string why;
    if (!transmitted(&sig, &why)) {
        T.capture.status = 1;
        T.capture.why = why.substr(why.find(';') + 1);
        return;
    }
    double power = sig.outputDbm - T.ports.at(T.set.port).lossAt(T.set.anFreq) + 0.1 * T.noise.gauss();
    // An OFDM signal's peaks stand some 6 dB above its mean: the reference
    // level needs that much headroom or the input overloads.
    if (power + 6 > T.set.anLevel) {
        char buf[160];
        snprintf(buf, sizeof buf, "input overload;peak %.1f dBm above the reference level %g dBm", power + 6,
                 T.set.anLevel);
        T.capture.status = 2;
        T.capture.why = buf;
        return;
    }
    double evmDb = sig.truth.evmFloorDb + 1.2 * std::fmax(0, sig.outputDbm - 17) + 0.3 * T.noise.gauss();
    T.capture.powerDbm = power;
    T.capture.evmPct = 100 * std::pow(10, evmDb / 20);
    T.capture.ferrHz = (sig.truth.crystalPpm + 0.05 * T.noise.gauss()) * T.set.anFreq;
}

// A FETCh query: "status,value"; a capture still running is status 3, none
// at all 4, and an invalid one queues why.
void fetch(std::string *reply, double Tester::Capture::*value) {
    const Tester::Capture &c = T.capture;
    int status = !c.started ? 4 : T.capturing() ? 3 : c.status;
    if (status == 0) {
        *reply = "0," + labNum(c.*value);
        return;
    }
    T.error(-230, status == 4 ? ";no capture (INITiate:WLAN first)"
                  : status == 3 ? ";the capture is still running"
                                : ";" + c.why);
    *reply = std::to_string(status) + "," + labNum(9.91e37);
}

bool labGeneratorSetting(const Args &a, double lo, double hi, double *to) {
    double v;
    if (number(a, 0, lo, hi, &v) && generatorIdle()) *to = v;
    return true;
}

const std::vector<Cmd> &labCommands() {
    static const std::vector<Cmd> cmds = {
        {"*IDN?", [](const Args &, std::string *r) { *r = "SimLab,LT-2," + T.serial + ",2.04"; return true; }},
        {"*RST", [](const Args &, std::string *) {
             T.set = Settings();
             T.genRunning = false;
             T.capture = Tester::Capture();
             return true;
         }},
        {"*CLS", [](const Args &, std::string *) { T.errors.clear(); return true; }},
        {"ABORT", [](const Args &, std::string *) {
             T.genRunning = false;
             T.capture.doneAt = 0;
             T.capture.started = false;
             return true;
         }},
        {"*OPC?", [](const Args &, std::string *r) { *r = "1"; return !T.genRunning && !T.capturing(); }},
        // Lab testers write the empty queue's code with its sign.
        {"SYSTEM:ERROR[:NEXT]?", [](const Args &, std::string *r) { *r = nextError("+0"); return true; }},
        {"ROUTE:RFPORT", [](const Args &a, std::string *) { return selectPort(a); }},
        {"CONFIGURE:WLAN:FREQUENCY", [](const Args &a, std::string *) { number(a, 0, 2000, 6000, &T.set.anFreq); return true; }},
        {"CONFIGURE:WLAN:BANDWIDTH", [](const Args &a, std::string *) {
             double v;
             if (number(a, 0, 20, 160, &v)) {
                 if (v != 20 && v != 40 && v != 80 && v != 160) T.error(-222, ";bandwidth 20, 40, 80 or 160");
                 else T.set.anBw = v;
             }
             return true;
         }},
        {"CONFIGURE:WLAN:RLEVEL", [](const Args &a, std::string *) { number(a, 0, -60, 40, &T.set.anLevel); return true; }},
        {"INITIATE:WLAN", [](const Args &, std::string *) {
             if (T.capturing()) T.error(-213, ";a capture is running");
             else startCapture();
             return true;
         }},
        {"STATUS:WLAN:STATE?", [](const Args &, std::string *r) {
             *r = !T.capture.started ? "IDLE" : T.capturing() ? "RUN" : "RDY";
             return true;
         }},
        {"FETCH:WLAN:POWER?", [](const Args &, std::string *r) { fetch(r, &Tester::Capture::powerDbm); return true; }},
        {"FETCH:WLAN:EVM?", [](const Args &, std::string *r) { fetch(r, &Tester::Capture::evmPct); return true; }},
        {"FETCH:WLAN:FERROR?", [](const Args &, std::string *r) { fetch(r, &Tester::Capture::ferrHz); return true; }},
        {"SOURCE:WLAN:FREQUENCY", [](const Args &a, std::string *) { return labGeneratorSetting(a, 2000, 6000, &T.set.genFreq); }},
        {"SOURCE:WLAN:BANDWIDTH", [](const Args &a, std::string *) {
             double v;
             if (number(a, 0, 20, 160, &v) && generatorIdle()) {
                 if (v != 20 && v != 40 && v != 80 && v != 160) T.error(-222, ";bandwidth 20, 40, 80 or 160");
                 else T.set.genBw = v;
             }
             return true;
         }},
        {"SOURCE:WLAN:LEVEL", [](const Args &a, std::string *) { return labGeneratorSetting(a, -130, 0, &T.set.genLevel); }},
        {"SOURCE:WLAN:WAVEFORM", [](const Args &a, std::string *) {
             if (a.empty()) {
                 T.error(-109, "");
                 return true;
             }
             for (int r = 0; r <= 48; r++)
                 if (upper(a[0]) == labWaveform(r)) {
                     if (generatorIdle()) T.set.genRate = r;
                     return true;
                 }
             T.error(-224, ";no waveform " + a[0]);
             return true;
         }},
        {"SOURCE:WLAN:FRAMES", [](const Args &a, std::string *) {
             double v;
             if (number(a, 0, 1, 10000000, &v) && generatorIdle()) T.set.genCount = (long)v;
             return true;
         }},
        {"DIAGNOSTIC:FAULT", diagFault},
        {"INITIATE:SOURCE", [](const Args &, std::string *) {
             if (T.genRunning) {
                 T.error(-213, ";the generator is sending");
                 return true;
             }
             T.genRunning = true;
             T.genPort = T.set.port;
             T.genDelivered = 0;
             T.genStart = monoMs();
             return true;
         }},
    };
    return cmds;
}

std::string trim(const std::string &s) {
    size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// The reply as the wire sees it, with the injected fault if any.
void sendReply(Client &c, const std::string &reply) {
    ReplyFault f = T.fault;
    T.fault = ReplyFault::None;
    switch (f) {
        case ReplyFault::Silent:
            return;
        case ReplyFault::Garbage:
            c.out += "\x01\x7f?? ~garbled~ 3.1\x02\n";
            return;
        case ReplyFault::Truncate:
            c.out += reply.substr(0, reply.size() / 2);
            c.closeAfterFlush = true;
            return;
        case ReplyFault::None:
            c.out += reply + "\n";
    }
}

// One command; false when it must wait and be run again later.
bool execute(Client &c, const std::string &text) {
    std::string t = trim(text);
    if (t.empty()) return true;
    size_t sp = t.find_first_of(" \t");
    std::string header = t.substr(0, sp);
    Args args;
    if (sp != std::string::npos) {
        std::string rest = trim(t.substr(sp));
        std::istringstream in(rest);
        std::string a;
        while (std::getline(in, a, ',')) args.push_back(trim(a));
    }
    bool query = header.back() == '?';
    for (const Cmd &cmd : T.lab ? labCommands() : commands()) {
        std::string p = cmd.pattern;
        if ((p.back() == '?') != query || !headerMatches(p, header)) continue;
        if (query && !args.empty() && p != "TRACe:DATA?" && p != "DIAGnostic:LINE?") {
            T.error(-108, "Parameter not allowed");
            return true;
        }
        std::string reply;
        if (!cmd.run(args, query ? &reply : nullptr)) return false;
        if (query) sendReply(c, reply);
        return true;
    }
    T.error(-113, "Undefined header;" + header);
    return true;
}

// Runs the complete lines a client has sent, up to one that must wait.
void serve(Client &c) {
    while (!c.closeAfterFlush) {
        size_t nl = c.in.find('\n');
        if (nl == std::string::npos) {
            if (c.in.size() > (1u << 20)) {
                T.error(-102, "Syntax error;line too long");
                c.in.clear();
            }
            return;
        }
        std::string line = c.in.substr(0, nl);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // Commands of one line are split at ';' and run in order; one that
        // waits keeps the rest of the line.
        size_t semi = line.find(';');
        std::string first = line.substr(0, semi);
        if (!execute(c, first)) {
            c.waitingOpc = true;
            return;
        }
        c.waitingOpc = false;
        if (semi == std::string::npos) c.in.erase(0, nl + 1);
        else c.in.erase(0, semi + 1);
    }
}

bool parsePort(const char *arg, int *n, std::string *rest) {
    const char *eq = strchr(arg, '=');
    if (!eq) return false;
    *n = atoi(arg);
    *rest = eq + 1;
    return *n >= 1 && *n <= 1024;
}

int usageExit(const char *msg) {
    fprintf(stderr, "simtester: %s\n", msg);
    return 2;
}

}  // namespace

// What tests and benchmarks compare against: the unit behind a sim dir.
int printTruth(const std::string &dir) {
    sim::UnitTruth u = sim::loadTruth(dir);
    printf("seed=%llu\n", (unsigned long long)u.seed);
    for (int k = 0; k < 2; k++) printf("pa%d=%d,%d,%d\n", k, u.pa[k].c1, u.pa[k].c2, u.pa[k].c3);
    printf("crystal_ppm=%.4f\nevm_floor_db=%.4f\nsens_offset_db=%.4f\n", u.crystalPpm, u.evmFloorDb, u.sensOffsetDb);
    printf("faults=%s%s%s\n", u.weakReceiver ? "weak-receiver " : "", u.badCrystal ? "bad-crystal " : "",
           u.brokenPa ? "broken-pa" : "");
    return 0;
}

// The unit made golden: what it truly sends at each set power with the
// coefficients its radio holds now, and its sensitivity, as the station's
// reference file (docs/tester.md).
int printGolden(const std::string &dir, const char *serial, const char *channels, const char *powers) {
    sim::UnitTruth u = sim::loadTruth(dir);
    sim::State s = sim::loadState(dir);
    std::vector<double> p;
    std::istringstream ps(powers);
    for (std::string w; std::getline(ps, w, ',');) p.push_back(atof(w.c_str()));
    printf("# The golden unit %s: its truth, from the simulated unit (seed %llu)\n", serial,
           (unsigned long long)u.seed);
    printf("serial = \"%s\"\nsource = \"simtester --golden %s (seed %llu)\"\n", serial, dir.c_str(),
           (unsigned long long)u.seed);
    std::istringstream cs(channels);
    for (std::string w; std::getline(cs, w, ',');) {
        printf("\n[[channel]]\nchannel = %d\nbw = 20\nrate = 0\nsensitivity = %.2f\n", atoi(w.c_str()),
               sim::nominalSensitivity(0, 20) + u.sensOffsetDb);
        for (int chain = 0; chain < 2; chain++) {
            printf("chain%d = [", chain);
            for (size_t i = 0; i < p.size(); i++) {
                double applied = std::floor(p[i] * 4 + 1e-9) / 4;  // the radio's quarter dB
                double out = u.output(chain, pa::detectorCode(storedCoeffs(s, chain), applied));
                printf("%s[%g, %.3f]", i ? ", " : "", p[i], out);
            }
            printf("]\n");
        }
    }
    return 0;
}

int main(int argc, char **argv) {
    if (argc == 3 && std::string(argv[1]) == "--truth") return printTruth(argv[2]);
    if (argc == 6 && std::string(argv[1]) == "--golden") return printGolden(argv[2], argv[3], argv[4], argv[5]);
    std::string listenAt = "127.0.0.1:5025";
    uint64_t seed = 1;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!v) return usageExit(("missing value after " + a).c_str());
        i++;
        int n;
        std::string rest;
        if (a == "--listen") {
            listenAt = v;
        } else if (a == "--seed") {
            seed = strtoull(v, nullptr, 0);
        } else if (a == "--fps") {
            T.fps = atof(v);
            if (!(T.fps > 0)) return usageExit("--fps must be above 0");
        } else if (a == "--dialect") {
            if (std::string(v) != "sim" && std::string(v) != "lab") return usageExit("--dialect sim or lab");
            T.lab = std::string(v) == "lab";
        } else if (a == "--capture-ms") {
            T.captureMs = atoi(v);
            if (T.captureMs < 0) return usageExit("--capture-ms must be 0 or more");
        } else if (a == "--serial") {
            T.serial = v;
        } else if (a == "--port") {
            if (!parsePort(v, &n, &rest)) return usageExit("--port N=SIMDIR");
            T.ports[n].simDir = rest;
        } else if (a == "--loss") {
            if (!parsePort(v, &n, &rest)) return usageExit("--loss N=MHZ:DB[,MHZ:DB...]");
            std::istringstream in(rest);
            std::string pt;
            T.ports[n].loss.clear();
            while (std::getline(in, pt, ',')) {
                double f, db;
                if (sscanf(pt.c_str(), "%lf:%lf", &f, &db) != 2) return usageExit("--loss N=MHZ:DB[,MHZ:DB...]");
                T.ports[n].loss.emplace_back(f, db);
            }
        } else {
            return usageExit(("unknown option " + a).c_str());
        }
    }
    T.noise = sim::Rng(seed);
    // A restarted tester goes on counting where the last one stopped.
    for (auto &kv : T.ports) {
        std::string text;
        if (!kv.second.simDir.empty() && sim::readFile(kv.second.simDir + "/rxgen", text))
            kv.second.received = strtoll(text.c_str(), nullptr, 10);
    }

    size_t colon = listenAt.rfind(':');
    if (colon == std::string::npos) return usageExit("--listen ADDR:PORT");
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)atoi(listenAt.c_str() + colon + 1));
    if (inet_pton(AF_INET, listenAt.substr(0, colon).c_str(), &sa.sin_addr) != 1)
        return usageExit("--listen ADDR:PORT with an IPv4 address");
    int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(lfd, (struct sockaddr *)&sa, sizeof sa) != 0 || listen(lfd, 16) != 0) {
        fprintf(stderr, "simtester: cannot listen on %s: %s\n", listenAt.c_str(), strerror(errno));
        return 1;
    }
    socklen_t len = sizeof sa;
    getsockname(lfd, (struct sockaddr *)&sa, &len);
    char addr[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &sa.sin_addr, addr, sizeof addr);
    printf("simtester: listening on %s:%d\n", addr, ntohs(sa.sin_port));
    fflush(stdout);

    signal(SIGPIPE, SIG_IGN);
    struct sigaction act = {};
    act.sa_handler = onSignal;
    sigaction(SIGTERM, &act, nullptr);
    sigaction(SIGINT, &act, nullptr);

    std::vector<Client> clients;
    while (!gStop) {
        std::vector<struct pollfd> pfds;
        pfds.push_back({lfd, POLLIN, 0});
        for (const Client &c : clients) {
            short ev = c.out.empty() ? POLLIN : POLLIN | POLLOUT;
            if (c.closeAfterFlush) ev = POLLOUT;
            pfds.push_back({c.fd, ev, 0});
        }
        int r = poll(pfds.data(), pfds.size(), T.genRunning || T.capturing() ? 5 : 500);
        if (r < 0 && errno != EINTR) break;
        runGenerator();
        if (pfds[0].revents & POLLIN) {
            int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) {
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                clients.push_back(Client{fd, "", "", false, false});
            }
        }
        for (size_t i = 0; i < clients.size(); i++) {
            Client &c = clients[i];
            short rev = i + 1 < pfds.size() && pfds[i + 1].fd == c.fd ? pfds[i + 1].revents : 0;
            bool gone = false;
            if (rev & (POLLIN | POLLHUP | POLLERR)) {
                char buf[65536];
                ssize_t n = recv(c.fd, buf, sizeof buf, 0);
                if (n > 0) c.in.append(buf, (size_t)n);
                else if (n == 0 || (errno != EAGAIN && errno != EINTR)) gone = true;
            }
            if (!gone) serve(c);
            if (!gone && !c.out.empty()) {
                ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
                if (n > 0) c.out.erase(0, (size_t)n);
                else if (n < 0 && errno != EAGAIN && errno != EINTR) gone = true;
            }
            if (!gone && c.closeAfterFlush && c.out.empty()) gone = true;
            if (gone) {
                close(c.fd);
                clients.erase(clients.begin() + (long)i);
                i--;
            }
        }
    }
    for (Client &c : clients) close(c.fd);
    close(lfd);
    return 0;
}
