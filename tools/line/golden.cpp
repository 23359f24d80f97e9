// The golden unit's reference file, the golden check's place in a run and
// the lock-out of ports whose golden check did not pass (see golden.h).
#include "line/golden.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <optional>

#include "instrument/toml_read.h"
#include "line/unit.h"
#include "results/record.h"
#include "station/step/step.h"

namespace line {

namespace {

using instrument::TomlDoc;

bool readPoints(const TomlDoc &doc, const toml::table &t, const char *key, const std::string &at,
                std::vector<station::GoldenPoint> *out, std::string *err) {
    const toml::node *n = t.get(key);
    if (!n) return true;
    const toml::array *a = n->as_array();
    if (!a || a->empty()) return doc.failAt(n, at + key, "must be a non-empty list of [set dBm, output dBm]", err);
    for (size_t i = 0; i < a->size(); ++i) {
        const toml::array *pt = (*a)[i].as_array();
        std::string k = at + key + "[" + std::to_string(i) + "]";
        if (!pt || pt->size() != 2 || !(*pt)[0].is_number() || !(*pt)[1].is_number())
            return doc.failAt(&(*a)[i], k, "must be a pair [set dBm, output dBm] of numbers", err);
        double set = (*pt)[0].value<double>().value_or(NAN), got = (*pt)[1].value<double>().value_or(NAN);
        if (!(set >= 5 && set <= 21) || std::fabs(set * 10 - std::round(set * 10)) > 1e-6)
            return doc.failAt(&(*a)[i], k, "the set power must be 5..21 dBm with at most one decimal", err);
        if (!(got >= -10 && got <= 40)) return doc.failAt(&(*a)[i], k, "the output must be -10..40 dBm", err);
        out->push_back({set, got});
    }
    return true;
}

bool readChannel(const TomlDoc &doc, const toml::node &n, size_t i, station::GoldenReference *ref,
                 std::string *err) {
    std::string at = "channel[" + std::to_string(i) + "].";
    const toml::table *t = n.as_table();
    if (!t) return doc.failAt(&n, "channel", "must be tables ([[channel]])", err);
    const char *keys[] = {"channel", "bw", "rate", "sensitivity", "chain0", "chain1", nullptr};
    if (!doc.onlyKeys(*t, at, keys, err)) return false;
    station::GoldenChannel c;
    c.line = (int)n.source().begin.line;
    long long ch = 0, bw = 20, rate = 0;
    if (doc.getInt(*t, "channel", 1, 200, &ch, err, at) != TomlDoc::Ok)
        return err->empty() ? doc.failAt(&n, at + "channel", "missing", err) : false;
    TomlDoc::Got g = doc.getInt(*t, "bw", 20, 160, &bw, err, at);
    if (g == TomlDoc::Bad) return false;
    if (bw != 20 && bw != 40 && bw != 80 && bw != 160) return doc.failAt(t->get("bw"), at + "bw", "must be 20, 40, 80 or 160", err);
    if (doc.getInt(*t, "rate", 0, station::kMaxRateIndex, &rate, err, at) == TomlDoc::Bad) return false;
    g = doc.getNumber(*t, "sensitivity", -130, -20, &c.sensitivityDbm, err, at);
    if (g == TomlDoc::Bad) return false;
    if (g == TomlDoc::Absent) return doc.failAt(&n, at + "sensitivity", "missing (dBm at 10 % PER)", err);
    c.channel = (int)ch, c.bwMhz = (int)bw, c.rate = (int)rate;
    if (!readPoints(doc, *t, "chain0", at, &c.chains[0], err) || !readPoints(doc, *t, "chain1", at, &c.chains[1], err))
        return false;
    if (c.chains[0].empty() && c.chains[1].empty())
        return doc.failAt(&n, at + "chain0", "missing: a channel needs chain0 or chain1", err);
    if (ref->find(c.channel))
        return doc.failAt(&n, at + "channel", "channel " + std::to_string(ch) + " is given twice", err);
    ref->channels.push_back(c);
    return true;
}

}  // namespace

bool parseGoldenReference(const std::string &text, const std::string &path, station::GoldenReference *out,
                          std::string *err) {
    TomlDoc doc;
    if (!doc.parse(text, path, err)) return false;
    const char *top[] = {"serial", "source", "channel", nullptr};
    if (!doc.onlyKeys(doc.root(), "", top, err)) return false;
    station::GoldenReference ref;
    ref.path = path;
    if (doc.getString(doc.root(), "serial", &ref.serial, err) != TomlDoc::Ok)
        return err->empty() ? doc.fail("serial", "missing (the golden unit's serial)", err) : false;
    try {
        results::validateSerial(ref.serial);
    } catch (const results::InvalidInput &e) {
        return doc.failAt(doc.root().get("serial"), "serial", e.what(), err);
    }
    if (doc.getString(doc.root(), "source", &ref.source, err) != TomlDoc::Ok || ref.source.empty())
        return err->empty() ? doc.fail("source", "missing (where the figures came from)", err) : false;
    const toml::node *chs = doc.root().get("channel");
    const toml::array *a = chs ? chs->as_array() : nullptr;
    if (!a || a->empty()) return doc.failAt(chs, "channel", "missing: give [[channel]] tables", err);
    for (size_t i = 0; i < a->size(); ++i)
        if (!readChannel(doc, (*a)[i], i, &ref, err)) return false;
    *out = ref;
    return true;
}

bool loadGoldenReference(const std::string &path, station::GoldenReference *out, std::string *err) {
    std::string text;
    if (!instrument::readWhole(path, &text, err)) return false;
    return parseGoldenReference(text, path, out, err);
}

int prepareGolden(Plan *plan, const std::vector<std::string> &serials, const char *command) {
    for (const station::PlanStep &s : plan->steps) {
        const station::StepDef *def = s.action.cmd->step;
        if (!def || !(def->needs & station::kNeedsGolden)) continue;
        std::string path = s.action.path, err;
        if (plan->golden && plan->golden->path != path) {
            fprintf(stderr, "rfprobe: %s: %s:%d: %s: a plan checks one golden unit; %s was named before "
                            "(nothing was sent)\n", command, plan->path.c_str(), s.planLine,
                    s.action.cmd->word, plan->golden->path.c_str());
            return station::kExitUsage;
        }
        auto ref = std::make_shared<station::GoldenReference>();
        if (!loadGoldenReference(path, ref.get(), &err)) {
            fprintf(stderr, "rfprobe: %s: %s:%d: %s: %s (nothing was sent)\n", command, plan->path.c_str(),
                    s.planLine, s.action.cmd->word, err.c_str());
            return station::kExitUsage;
        }
        for (const std::string &serial : serials)
            if (serial != ref->serial) {
                fprintf(stderr, "rfprobe: %s: %s:%d: %s: the unit %s is not the golden unit of %s (serial %s) "
                                "(nothing was sent)\n", command, plan->path.c_str(), s.planLine,
                        s.action.cmd->word, serial.c_str(), path.c_str(), ref->serial.c_str());
                return station::kExitUsage;
            }
        plan->golden = ref;
    }
    return station::kExitOk;
}

namespace {

// Milliseconds since 1970 of a stored UTC time; false for another text.
bool utcMs(const std::string &utc, double *ms) {
    struct tm t = {};
    int milli = 0;
    if (sscanf(utc.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min,
               &t.tm_sec, &milli) < 6)
        return false;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    *ms = (double)timegm(&t) * 1000.0 + milli;
    return true;
}

}  // namespace

std::string goldenLock(results::Store &store, const std::string &station, const std::string &iface, int port,
                       double hours) {
    // The newest check is the last to reach the store, not the one whose
    // station clock says latest: a clock that ran fast cannot keep an old
    // PASS in front of a later FAIL.
    std::optional<results::GoldenCheck> last = store.lastGoldenCheck(station, std::to_string(port));
    char head[160];
    snprintf(head, sizeof head, "port %d (%s) is locked: ", port, iface.c_str());
    const std::string todo = "run the golden check on this port (after fixture-cal if the fixture "
                             "changed) and start again";
    if (!last) return head + std::string("no golden check of this port on station ") + station + "; " + todo;
    std::string what = "its last golden check (" + last->startedAt + ", golden unit " + last->serial + ", record " +
                       last->recordId + ")";
    if (last->verdict != station::Verdict::Pass)
        return head + what + " is " + station::verdictName(last->verdict) +
               "; check the cable and connectors, run fixture-cal with the golden unit, then " + todo.substr(4);
    double started = 0, stored = 0, now = (double)time(nullptr) * 1000.0;
    if (!utcMs(last->startedAt, &started)) return head + what + " has a start time that cannot be read; " + todo;
    if (started - now > kGoldenClockSkewS * 1000.0) {
        char b[200];
        snprintf(b, sizeof b, " is dated %.1f h ahead of this PC's clock: the clock of station %s (or of this PC) "
                              "is wrong; set it right, then ", (started - now) / 3.6e6, station.c_str());
        return head + what + b + todo.substr(4);
    }
    // Its age from the earlier of its start and its arrival in the store:
    // a check from a fast clock is as old as the store saw it arrive.
    if (utcMs(last->storedAt, &stored) && stored < started) started = stored;
    double age = (now - started) / 3.6e6;
    if (age > hours) {
        char b[96];
        snprintf(b, sizeof b, " passed %.1f h ago, more than --require-golden %g h; ", age, hours);
        return head + what + b + todo;
    }
    return "";
}

}  // namespace line
