// report-mkstore: a results store of generated records, written through the
// results library, for the report's benchmark and browser test.
//
//   report-mkstore --store URL --records N [--seed S] [--days D] [--start DAY] [--fast] [--line cal]
//
// The records look like a line's: two plans (factory.plan with a receive
// test and a PA read, smoke.plan with the receive test only), three
// stations, a few operators and lots, counts around 1000 (limits 950..1050)
// with a slow drift, an occasional stop-rx without reply, and failed units
// tested again later.  The same seed gives the same values (record ids and
// the plan's hash aside).  --fast turns off SQLite's flush to disk for the
// run (a throwaway store for a benchmark).  --line cal writes the records
// of a 4-unit calibration line instead (calline.cpp): line-cal.plan and,
// every fifth round, line-tester.plan, with faulty units tested again.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "calline.h"
#include "results/store.h"

using namespace results;

namespace {

std::string at(int64_t ms) { return formatUtc(ms); }

Record makeRecord(std::mt19937_64 &rng, int64_t startMs, const std::string &serial, bool smoke, int k) {
    std::normal_distribution<double> noise(0, 1);
    std::uniform_real_distribution<double> u(0, 1);
    static const char *const kStations[] = {"line3-st1", "line3-st2", "line3-st3"};
    static const char *const kOperators[] = {"Ana Lima", "Jo Chen", "Sam Okafor", ""};
    Record r;
    r.id = newRecordId();
    r.serial = serial;
    r.station = kStations[k % 3];
    r.operatorName = kOperators[(k / 7) % 4];
    r.metadata = {{"fixture", "F-" + std::to_string(10 + k % 3)}, {"lot", "2024-" + std::to_string(18 + k / 5000)}};
    r.planName = smoke ? "smoke.plan" : "factory.plan";
    r.planSha256 = sha256Hex("plan text of " + r.planName);
    r.startedAt = at(startMs);
    int64_t t = startMs;

    Step chan;
    chan.line = 3;
    chan.command = "set-channel";
    chan.args = {"6"};
    chan.exchanges.push_back({{0x82, 6, 0, 0, 0, 0}, ReplyFields{0x82, 6, 0, 0, 0, 0, "198.18.0.1"}, 1});
    chan.startedAt = at(t);
    chan.durationS = 0.004;
    t += 10;

    Step rx;
    rx.line = 5;
    rx.command = "rx";
    rx.args = {"--rate", "15", "--bw", "40", "--seconds", "2", "--min", "950", "--max", "1050"};
    rx.exchanges.push_back({{0x97, 1, 15, 0, 0, 0}, ReplyFields{0x97, 1, 15, 0, 0, 0, "198.18.0.1"}, 1});
    rx.startedAt = at(t);
    rx.durationS = 2.0 + 0.02 * u(rng);
    if (u(rng) < 0.01) {
        rx.exchanges.push_back({{0x98, 0, 0, 0, 0, 0}, std::nullopt, 3});
        rx.error = "stop-rx (0x98): no reply within 2000 ms";
        rx.durationS += 6;
    } else {
        double drift = 8.0 * std::sin((double)k / 9000.0);
        double count = std::round(1000 + drift + 14 * noise(rng));
        rx.exchanges.push_back(
            {{0x98, 0, 0, 0, 0, 0}, ReplyFields{0x98, 0, (uint32_t)count, 0, 0, 0, "198.18.0.1"}, 1});
        rx.measurements.push_back({"count", count, 950.0, 1050.0, Verdict::Pass});
    }
    t += (int64_t)(rx.durationS * 1000);
    r.steps = {chan, rx};

    if (!smoke) {
        Step pa;
        pa.line = 7;
        pa.command = "pa-read";
        pa.args = {"0"};
        double pa1 = std::round(-372 + 11 * noise(rng)), pa2 = std::round(5900 + 40 * noise(rng));
        pa.exchanges.push_back({{0x92, 0, 0, 0, 0, 0},
                                ReplyFields{0x92, 0, (uint32_t)(int32_t)pa1 & 0xFFFFu, (uint32_t)pa2, 0, 0,
                                            "198.18.0.1"},
                                1});
        pa.measurements.push_back({"pa1", pa1, -400.0, -340.0, Verdict::Pass});
        pa.measurements.push_back({"pa2", pa2, 5800.0, std::nullopt, Verdict::Pass});
        pa.startedAt = at(t);
        pa.durationS = 0.05 + 0.01 * u(rng);
        t += 60;
        r.steps.push_back(pa);
    }
    r.endedAt = at(t + (int64_t)(400 * u(rng)));
    applyVerdicts(&r);
    return r;
}

// The calibration line: rounds of four units, the fifth round of each
// five on line-tester.plan; a unit's fault follows from its serial, so
// that a faulty unit fails its retest again.
Record calLineRecord(std::mt19937_64 &rng, int64_t when, const std::string &serial, long k) {
    unsigned long n = strtoul(serial.c_str() + 2, nullptr, 10);
    UnitFault fault = n % 9 == 2 ? UnitFault::WeakReceiver
                      : n % 9 == 5 ? UnitFault::BadCrystal
                      : n % 11 == 7 ? UnitFault::BrokenPa
                                    : UnitFault::None;
    bool agentDown = k % 40 == 13;  // one unit in forty finds its agent down
    return makeCalLineRecord(rng, when, serial, fault, (k / 4) % 5 == 4, agentDown, (int)k);
}

int64_t dayMs(const char *day) {
    struct tm tm = {};
    if (sscanf(day, "%d-%d-%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday) != 3) return -1;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return (int64_t)timegm(&tm) * 1000;
}

}  // namespace

int main(int argc, char **argv) {
    std::string url;
    long records = 0, days = 5;
    unsigned long seed = 1;
    const char *start = "2024-05-01";
    bool fast = false, calLine = false;
    for (int i = 1; i < argc; i++) {
        auto next = [&]() -> const char * {
            if (i + 1 >= argc) {
                fprintf(stderr, "report-mkstore: %s needs a value\n", argv[i]);
                exit(2);
            }
            return argv[++i];
        };
        if (!strcmp(argv[i], "--store")) url = next();
        else if (!strcmp(argv[i], "--records")) records = atol(next());
        else if (!strcmp(argv[i], "--seed")) seed = strtoul(next(), nullptr, 10);
        else if (!strcmp(argv[i], "--days")) days = atol(next());
        else if (!strcmp(argv[i], "--start")) start = next();
        else if (!strcmp(argv[i], "--fast")) fast = true;
        else if (!strcmp(argv[i], "--line") && !strcmp(next(), "cal")) calLine = true;
        else {
            fprintf(stderr, "usage: report-mkstore --store URL --records N [--seed S] [--days D] "
                            "[--start YYYY-MM-DD] [--fast] [--line cal]\n");
            return 2;
        }
    }
    if (url.empty() || records < 0 || days < 1 || dayMs(start) < 0) {
        fprintf(stderr, "report-mkstore: give --store URL, --records N >= 0, --days D >= 1\n");
        return 2;
    }
    try {
        OpenOptions o;
        o.spoolPath = "/dev/null";
        o.flushToDisk = !fast;
        auto store = Store::open(url, o);
        std::mt19937_64 rng(seed);
        std::uniform_real_distribution<double> u(0, 1);
        int64_t span = days * 86400000LL, t0 = dayMs(start);
        std::vector<std::string> retest;  // serials of failed units, tested again later
        std::set<std::string> retested;
        long nextSerial = 1;
        for (long k = 0; k < records; k++) {
            int64_t when = t0 + span * k / std::max(records, 1L);
            std::string serial;
            if (!retest.empty() && u(rng) < 0.6) {
                serial = retest.back();
                retest.pop_back();
            } else {
                char b[32];
                snprintf(b, sizeof b, "SN%07ld", nextSerial++);
                serial = b;
            }
            Record r = calLine ? calLineRecord(rng, when, serial, k) : makeRecord(rng, when, serial, k % 4 == 3, (int)k);
            // The calibration line tests a failed unit once more, not until it passes.
            bool again = calLine ? retested.insert(serial).second : u(rng) < 0.8;
            if (r.verdict != Verdict::Pass && again) retest.push_back(serial);
            WriteOutcome w = store->write(r);
            if (w.spooled) throw StoreError("record spooled: " + w.reason);
        }
    } catch (const std::exception &e) {
        fprintf(stderr, "report-mkstore: %s\n", e.what());
        return 5;
    }
    return 0;
}
