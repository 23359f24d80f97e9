// Simulated wireless utility `wl`: the radio of the simulated router.
//
// The radio lives in the state file (see simcommon.h).  Every run journals
// its exact arguments, applies any injected fault, then reads or changes the
// state under the lock.  The receive counter "rxdfrmmcast" advances at
// rxrate frames per second while the radio is up and set up for receiving
// (a "wl rxchain" since the last transmit set-up), so a receive test that
// runs longer counts more frames.
#include <cinttypes>

#include "pamodel.h"
#include "simcommon.h"

namespace {

const char *kPaNames[6] = {"pa2gw0a0", "pa2gw1a0", "pa2gw2a0", "pa2gw0a1", "pa2gw1a1", "pa2gw2a1"};

void withDefaults(sim::State &s) {
    const std::pair<const char *, const char *> defaults[] = {
        {"up", "1"},          {"band", "auto"},     {"ssid", "Router-2G"}, {"channel", "1"},
        {"bw", "20"},         {"sideband", "0"},    {"chband", "2"},       {"mimo_txbw", "-1"},
        {"txchain", "3"},     {"txant", "3"},       {"rxchain", "3"},      {"rate", "auto"},
        {"txpwr_qdbm", "-1"}, {"pkteng", "0"},      {"pkteng_starts", "0"}, {"forcecal", "0"},
        {"rxdfrmmcast", "1000"}, {"rxrate", "2000"}, {"rxarmed", "0"},     {"rxsince", "0"},
        {"acsd", "1"},
        {"pa2gw0a0", "0xfe8c"}, {"pa2gw1a0", "0x1a2e"}, {"pa2gw2a0", "0xfa1b"},
        {"pa2gw0a1", "0xfe7d"}, {"pa2gw1a1", "0x1a5c"}, {"pa2gw2a1", "0xfa2e"},
    };
    for (const auto &d : defaults)
        if (!s.count(d.first)) s[d.first] = d.second;
}

// Bring the receive counter up to date before anything changes the radio:
// the golden unit's frames (rxrate a second while armed), and the frames
// the simulated tester's generator got through to this radio.  The tester
// never writes the state: it counts the frames received (it checks the
// radio was armed for them) in its own file "rxgen", and the radio adds
// what is new since it last looked ("rxgen_seen").  So the state keeps one
// writer, also where the tester and the radio share no lock (the emulated
// router's state is on a 9p share).
void accrue(sim::State &s) {
    long long now = sim::nowMs();
    long long add = 0;
    if (sim::getNum(s, "up", 1) == 1 && sim::getNum(s, "rxarmed", 0) == 1) {
        long long since = sim::getNum(s, "rxsince", now);
        add = since > 0 && now > since ? (now - since) * sim::getNum(s, "rxrate", 0) / 1000 : 0;
    }
    std::string gen;
    if (sim::readFile(sim::path("rxgen"), gen)) {
        long long total = strtoll(gen.c_str(), nullptr, 10), seen = sim::getNum(s, "rxgen_seen", 0);
        if (total > seen) add += total - seen;
        s["rxgen_seen"] = std::to_string(total);
    }
    if (add) s["rxdfrmmcast"] = std::to_string((sim::getNum(s, "rxdfrmmcast", 0) + add) & 0xffffffffLL);
    s["rxsince"] = std::to_string(now);
}

// The transmit power loop (pamodel.h): the detector code at which the
// stored coefficients of the transmitting chain estimate the set power.
// txchain 2 is chain 1; 1 or both (3) transmit on chain 0's port, the one
// the tester's cable reaches.  A power left at the driver's default (-1)
// is maxp2ga0, 0x48 quarter-dBm = 18 dBm.
void closeLoop(sim::State &s) {
    int chain = sim::getNum(s, "txchain", 3) == 2 ? 1 : 0;
    pa::Coeffs c;
    int16_t *v[3] = {&c.c1, &c.c2, &c.c3};
    for (int i = 0; i < 3; i++) *v[i] = (int16_t)(sim::getNum(s, kPaNames[chain * 3 + i], 0) & 0xffff);
    long long q = sim::getNum(s, "txpwr_qdbm", -1);
    s["txdet"] = std::to_string(pa::detectorCode(c, q < 0 ? 18.0 : q / 4.0));
}

int usage(const char *msg, const char *arg) {
    fprintf(stderr, "wl: %s%s%s\n", msg, arg ? " " : "", arg ? arg : "");
    return 1;
}

std::string countersText(const sim::State &s, const sim::Fault &f) {
    long long starts = sim::getNum(s, "pkteng_starts", 0);
    char buf[2048];
    // Real drivers print a long list; the look-alike "rxdfrmmcastmbss" comes
    // first so that a reader must match the whole name and its separator.
    snprintf(buf, sizeof buf,
             "counters_version 7 counters_length 1580\n"
             "txframe %lld txbyte %lld txretrans 0 txerror 0 txctl 0 txprshort 0 txserr 0\n"
             "txnobuf 0 txnoassoc 0 txrunt 0 txchit 0 txcmiss 0\n"
             "txuflo 0 txphyerr 0 txphycrs 0\n"
             "rxframe %lld rxbyte %lld rxerror 0 rxctl 0 rxnobuf 0 rxnondata 0 rxbadds 0\n"
             "rxbadcm 0 rxfragerr 0 rxrunt 0 rxgiant 0 rxnoscb 0 rxbadproto 0 rxbadsrcmac 0\n"
             "rxbadda 0 rxfilter 0\n"
             "rxoflo 0 rxuflo 0 rxuflo 0 0 0 0 0 \n"
             "d11cnt_txrts_off 0 d11cnt_rxcrc_off 0 d11cnt_txnocts_off 0\n"
             "dmade 0 dmada 0 dmape 0 reset 0 tbtt 0 txdmawar 0 pkt_callback_reg_fail 0\n"
             "txallfrm %lld txrtsfrm 0 txctsfrm 0 txackfrm 0 txdnlfrm 0 txbcnfrm 0 txfunfl 0 0 0 0 0 0 \n"
             "rxdfrmmcastmbss 0 rxdfrmucastmbss 12 rxmfrmucastmbss 0\n"
             "rxcfrmucast 0 rxrtsucast 0 rxctsucast 0 rxackucast 0\n"
             "%s"
             "rxmfrmmcast 0 rxbeaconmbss 0 rxdfrmucastobss 0 rxbeaconobss 0 rxrsptmout 0 bcntxcancl 0\n"
             "rxf0ovfl 0 rxf1ovfl 0 rxf2ovfl 0 txsfovfl 0 pmqovfl 0\n"
             "rxcgprqfrm 0 rxcgprsqovfl 0 txcgprsfail 0 txcgprssuc 0 prs_timeout 0 rxnack 0 frmscons 0 txnack 0\n",
             starts * 1000, starts * 1000 * 1000, sim::getNum(s, "rxdfrmmcast", 0),
             sim::getNum(s, "rxdfrmmcast", 0) * 100, starts * 1000,
             f.omits("rxdfrmmcast")
                 ? ""
                 : ("rxdfrmmcast " + std::to_string(sim::getNum(s, "rxdfrmmcast", 0)) + " ").c_str());
    return buf;
}

std::string pavarsText(const sim::State &s, const sim::Fault &f) {
    std::string out;
    for (const char *n : kPaNames)
        if (!f.omits(n)) out += std::string(n) + "=" + s.at(n) + "\n";
    out += "maxp2ga0=0x48\nmaxp2ga1=0x48\n";
    return out;
}

// Runs one wl command against the state.  Output goes to out; a non-zero
// result is the exit status.
int run(int argc, char **argv, sim::State &s, const sim::Fault &f, std::string &out) {
    std::string cmd = argv[1];
    auto arg = [&](int i) -> const char * { return i < argc ? argv[i] : nullptr; };
    auto needArgs = [&](int n) { return argc >= n + 2; };

    if (cmd == "isup") {
        out = sim::getNum(s, "up", 1) == 1 ? "1\n" : "0\n";
    } else if (cmd == "up" || cmd == "down") {
        s["up"] = cmd == "up" ? "1" : "0";
    } else if (cmd == "band") {
        if (!needArgs(1)) out = s["band"] + "\n";
        else s["band"] = arg(2);
    } else if (cmd == "ssid") {
        if (!needArgs(1)) out = "Current SSID: \"" + s["ssid"] + "\"\n";
        else s["ssid"] = arg(2);
    } else if (cmd == "phy_forcecal") {
        s["forcecal"] = std::to_string(sim::getNum(s, "forcecal", 0) + 1);
    } else if (cmd == "mimo_txbw" || cmd == "txchain" || cmd == "txant" || cmd == "rxchain") {
        if (!needArgs(1)) {
            out = s[cmd] + "\n";
            return 0;
        }
        s[cmd] = std::to_string(strtol(arg(2), nullptr, 0));
        if (cmd == "rxchain") s["rxarmed"] = "1";
        if (cmd == "txchain") s["rxarmed"] = "0";
    } else if (cmd == "chanspec") {
        if (!needArgs(1)) {
            out = s["channel"] + "/" + s["bw"] + "\n";
            return 0;
        }
        for (int i = 2; i + 1 < argc; i += 2) {
            std::string o = argv[i];
            const char *key = o == "-c" ? "channel" : o == "-b" ? "chband" : o == "-w" ? "bw" : o == "-s" ? "sideband" : nullptr;
            if (!key) return usage("chanspec: unknown option", argv[i]);
            s[key] = std::to_string(strtol(argv[i + 1], nullptr, 10));
        }
    } else if (cmd == "nrate") {
        if (needArgs(2) && std::string(arg(2)) == "-r") {
            s["rate"] = std::string("legacy ") + arg(3) + " Mbps";
        } else if (needArgs(4) && std::string(arg(2)) == "-m" && std::string(arg(4)) == "-s") {
            s["rate"] = std::string("mcs ") + arg(3) + " stf " + (arg(5) ? arg(5) : "0");
        } else if (!needArgs(1)) {
            out = s["rate"] + "\n";
        } else {
            return usage("nrate: bad arguments", nullptr);
        }
    } else if (cmd == "txpwr1") {
        if (!needArgs(1)) {
            out = s["txpwr_qdbm"] + " qdBm\n";
            return 0;
        }
        const char *q = nullptr;
        for (int i = 2; i < argc; i++)
            if (std::string(argv[i]) == "-q" && i + 1 < argc) q = argv[i + 1];
        if (!q) return usage("txpwr1: expected -q <quarter dBm>", nullptr);
        s["txpwr_qdbm"] = std::to_string(strtol(q, nullptr, 10));
    } else if (cmd == "pkteng_start") {
        if (!needArgs(2)) return usage("pkteng_start: bad arguments", nullptr);
        s["pkteng"] = arg(3);
        s["rxarmed"] = "0";
        s["pkteng_starts"] = std::to_string(sim::getNum(s, "pkteng_starts", 0) + 1);
    } else if (cmd == "pkteng_stop") {
        s["pkteng"] = "0";
    } else if (cmd == "counters") {
        out = countersText(s, f);
    } else if (cmd == "pavars") {
        if (!needArgs(1)) {
            out = pavarsText(s, f);
            return 0;
        }
        // The driver takes new coefficients only while the radio is down.
        if (sim::getNum(s, "up", 1) == 1) return usage("pavars: radio must be down to set", nullptr);
        for (int i = 2; i < argc; i++) {
            std::string a = argv[i];
            size_t eq = a.find('=');
            std::string name = a.substr(0, eq);
            bool known = false;
            for (const char *n : kPaNames) known |= name == n;
            if (eq == std::string::npos || !known) return usage("pavars: unknown variable", argv[i]);
            unsigned long v = strtoul(a.c_str() + eq + 1, nullptr, 0) & 0xffff;
            char hex[16];
            snprintf(hex, sizeof hex, "0x%lx", v);
            s[name] = hex;
        }
    } else {
        return usage("unrecognized command:", cmd.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    sim::journal(argc, argv);
    if (argc < 2) return usage("usage: wl <command> [args]", nullptr);
    std::string sub = argv[1];

    sim::Fault f;
    std::string scripted;
    bool haveScripted = false;
    {
        sim::Lock lock;
        f = sim::loadFault("wl", sub);
        haveScripted = sim::popSeq("wl", sub, scripted);
    }
    sim::sleepMs(f.delayMs);
    if (f.exitStatus != 0) {
        fprintf(stderr, "wl: error %d\n", f.exitStatus);
        return f.exitStatus;
    }

    std::string out;
    int rc;
    {
        sim::Lock lock;
        sim::State s = sim::loadState();
        withDefaults(s);
        accrue(s);
        rc = run(argc, argv, s, f, out);
        if (rc == 0 && !f.drop) {
            closeLoop(s);
            sim::saveState(s);
        }
    }
    if (haveScripted) out = scripted == "-" ? "" : scripted + "\n";
    if (f.output == "empty") out.clear();
    if (f.output == "garbage") out = sim::kGarbage;
    if (!out.empty()) {
        // One write, so a reader that takes the output in one read sees it all.
        ssize_t n = write(1, out.data(), out.size());
        (void)n;
    }
    return rc;
}
