#include "instrument/profile.h"

#include "instrument/toml_read.h"

namespace instrument {

namespace {

struct OpDef {
    Op op;
    const char *key;
    const char *params[6];
    bool endsInQuery;
    bool optional = false;
};

// The operations and the parameters each one takes.
const OpDef kOps[kOpCount] = {
    {Op::Reset, "reset", {}, false},
    {Op::SelectPort, "select_port", {"port"}, false},
    {Op::AnalyserSetup, "analyser_setup", {"freq_mhz", "bw_mhz", "level_dbm"}, false},
    {Op::MeasurePower, "measure_power", {"freq_mhz", "bw_mhz", "level_dbm"}, true},
    {Op::MeasureEvm, "measure_evm", {"freq_mhz", "bw_mhz", "level_dbm"}, true},
    {Op::MeasureFreqError, "measure_freq_error", {"freq_mhz", "bw_mhz", "level_dbm"}, true},
    {Op::GeneratorSetup, "generator_setup", {"freq_mhz", "bw_mhz", "level_dbm", "rate"}, false},
    {Op::SendFrames, "send_frames", {"frames", "freq_mhz", "bw_mhz", "level_dbm", "rate"}, true},
    {Op::Abort, "abort", {}, false, true},
    {Op::Trigger, "trigger", {"freq_mhz", "bw_mhz", "level_dbm"}, false, true},
};

// The measurements' reply formats: the record's name and unit.
struct MeasureDef {
    const char *name;
    Unit recorded;
};
const MeasureDef kMeasures[3] = {{"power", Unit::Dbm}, {"evm", Unit::Db}, {"freq_error", Unit::Ppm}};

const char *const kTopKeys[] = {"format", "timeout_ms", "connect_timeout_ms", "error_query", "max_errors",
                                "frames_per_second", "clear", "operations", "name",
                                // format 2
                                "reset_at_start", "trigger_timeout_ms", "poll", "measurements", "maps",
                                nullptr};
constexpr int kFormat1Keys = 9;  // the keys before the format 2 ones

bool parseTop(const TomlDoc &doc, Profile *p, std::string *err) {
    const toml::table &r = doc.root();
    long long n;
    double d;
    if (doc.getInt(r, "format", 1, 2, &n, err) == TomlDoc::Bad) return false;
    if (doc.has(r, "format")) p->format = (int)n;
    if (!doc.onlyKeys(r, "", kTopKeys, err)) return false;
    if (p->format < 2)
        for (const char *const *k = kTopKeys + kFormat1Keys; *k; k++)
            if (doc.has(r, *k)) return doc.failAt(r.get(*k), *k, "needs format = 2 at the top of the profile", err);
    struct IntKey {
        const char *key;
        long long lo, hi;
        int *to;
    } ints[] = {{"timeout_ms", 1, 600000, &p->timeoutMs},
                {"connect_timeout_ms", 1, 600000, &p->connectTimeoutMs},
                {"max_errors", 1, 1000, &p->maxErrors},
                {"trigger_timeout_ms", 1, 3600000, &p->triggerTimeoutMs}};
    for (const IntKey &k : ints) {
        TomlDoc::Got g = doc.getInt(r, k.key, k.lo, k.hi, &n, err);
        if (g == TomlDoc::Bad) return false;
        if (g == TomlDoc::Ok) *k.to = (int)n;
    }
    if (doc.getNumber(r, "frames_per_second", 1e-3, 1e9, &d, err) == TomlDoc::Bad) return false;
    if (doc.has(r, "frames_per_second")) p->framesPerSecond = d;
    if (doc.has(r, "reset_at_start")) {
        auto b = r.get("reset_at_start")->value_exact<bool>();
        if (!b) return doc.failAt(r.get("reset_at_start"), "reset_at_start", "must be true or false", err);
        p->resetAtStart = *b;
    }
    std::string s;
    TomlDoc::Got g = doc.getString(r, "error_query", &s, err);
    if (g == TomlDoc::Bad) return false;
    if (g == TomlDoc::Ok) {
        if (!isQuery(s)) return doc.failAt(r.get("error_query"), "error_query", "\"" + s + "\" is not a query", err);
        p->errorQuery = s;
    }
    g = doc.getString(r, "clear", &s, err);
    if (g == TomlDoc::Bad) return false;
    if (g == TomlDoc::Ok) {
        if (isQuery(s) || s.find_first_of("\r\n") != std::string::npos)
            return doc.failAt(r.get("clear"), "clear", "must be a command with no reply (\"*CLS\"), or \"\"", err);
        p->clear = s;
    }
    return true;
}

bool parseMaps(const TomlDoc &doc, Profile *p, std::string *err) {
    if (!doc.has(doc.root(), "maps")) return true;
    const toml::table *maps = doc.table(doc.root(), "maps", err);
    if (!maps) return false;
    for (auto &&kv : *maps) {
        std::string name(kv.first.str()), key = "maps." + name;
        const toml::table *m = kv.second.as_table();
        if (!m) return doc.failAt(&kv.second, key, "must be a table ([" + key + "])", err);
        if (m->empty()) return doc.failAt(&kv.second, key, "a map without entries", err);
        auto &out = p->maps[name];
        for (auto &&e : *m) {
            std::string from(e.first.str());
            auto to = e.second.value_exact<std::string>();
            if (!to || to->empty() || to->find_first_of("\r\n") != std::string::npos)
                return doc.failAt(&e.second, key + "." + from, "must be a non-empty string on one line", err);
            out[from] = *to;
        }
    }
    return true;
}

bool parseOps(const TomlDoc &doc, Profile *p, std::string *err) {
    const toml::table *ops = doc.table(doc.root(), "operations", err);
    if (!ops) return false;
    for (auto &&kv : *ops) {
        std::string key(kv.first.str());
        bool known = false;
        for (const OpDef &o : kOps) known |= key == o.key && (o.op != Op::Trigger || p->format >= 2);
        if (!known) {
            std::string all;
            for (const OpDef &o : kOps) all += std::string(all.empty() ? "" : ", ") + o.key;
            return doc.failAt(&kv.second, "operations." + key,
                              "unknown operation; the operations are " + all + " (trigger with format = 2)", err);
        }
    }
    for (const OpDef &o : kOps) {
        std::string key = std::string("operations.") + o.key;
        std::vector<std::string> cmds;
        if (o.optional && !ops->contains(o.key)) continue;
        if (!doc.getStrings(*ops, o.key, key, &cmds, err)) return false;
        std::vector<std::string> allowed;
        for (const char *a : o.params)
            if (a) allowed.push_back(a);
        for (const std::string &c : cmds) {
            std::string why;
            if (!checkTemplate(c, allowed, p->maps, &why)) return doc.failAt(ops->get(o.key), key, why, err);
        }
        if (o.endsInQuery && !isQuery(cmds.back()))
            return doc.failAt(ops->get(o.key), key,
                              "must end in a query (a command ending in '?') whose reply it waits for", err);
        p->ops[(int)o.op] = cmds;
    }
    return true;
}

bool parsePoll(const TomlDoc &doc, Profile *p, std::string *err) {
    if (!doc.has(doc.root(), "poll")) return true;
    const toml::table *t = doc.table(doc.root(), "poll", err);
    if (!t) return false;
    const char *keys[] = {"query", "until", "interval_ms", "deadline_ms", nullptr};
    if (!doc.onlyKeys(*t, "poll.", keys, err)) return false;
    long long n;
    if (doc.getString(*t, "query", &p->poll.query, err, "poll.") != TomlDoc::Ok ||
        doc.getString(*t, "until", &p->poll.until, err, "poll.") != TomlDoc::Ok ||
        doc.getInt(*t, "interval_ms", 1, 60000, &n, err, "poll.") == TomlDoc::Bad)
        return err->empty() ? doc.failAt(doc.root().get("poll"), "poll", "needs a query and until", err) : false;
    if (doc.has(*t, "interval_ms")) p->poll.intervalMs = (int)n;
    if (!isQuery(p->poll.query) || p->poll.query.find_first_of("\r\n") != std::string::npos)
        return doc.failAt(t->get("query"), "poll.query", "\"" + p->poll.query + "\" is not a query", err);
    TomlDoc::Got g = doc.getInt(*t, "deadline_ms", 1, 3600000, &n, err, "poll.");
    if (g == TomlDoc::Bad) return false;
    if (g == TomlDoc::Absent)
        return doc.failAt(doc.root().get("poll"), "poll.deadline_ms",
                          "a poll needs a deadline (how long the capture may take at most)", err);
    p->poll.deadlineMs = (int)n;
    return true;
}

// [measurements.NAME]: where the value is in the reply and in which unit.
bool parseMeasurement(const TomlDoc &doc, const toml::table &t, const std::string &key, ReplyFormat *f,
                      std::string *err) {
    const char *keys[] = {"separator", "value_field", "status_field", "valid_status", "unit", "timeout_ms", nullptr};
    std::string prefix = key + ".";
    if (!doc.onlyKeys(t, prefix, keys, err)) return false;
    long long n;
    TomlDoc::Got g;
    if (doc.getString(t, "separator", &f->separator, err, prefix) == TomlDoc::Bad) return false;
    if ((g = doc.getInt(t, "value_field", 0, 63, &n, err, prefix)) == TomlDoc::Bad) return false;
    if (g == TomlDoc::Ok) f->field = (int)n;
    if ((g = doc.getInt(t, "status_field", 0, 63, &n, err, prefix)) == TomlDoc::Bad) return false;
    if (g == TomlDoc::Ok) f->statusField = (int)n;
    if ((g = doc.getInt(t, "timeout_ms", 1, 3600000, &n, err, prefix)) == TomlDoc::Bad) return false;
    if (g == TomlDoc::Ok) f->timeoutMs = (int)n;
    const toml::node *at = doc.root().get("measurements");
    if ((f->field > 0 || f->statusField >= 0) && f->separator.empty())
        return doc.failAt(t.get("value_field") ? t.get("value_field") : at, prefix + "separator",
                          "fields need a separator (\",\")", err);
    if (f->statusField == f->field)
        return doc.failAt(t.get("status_field"), prefix + "status_field", "the status cannot be the value's field", err);
    if (t.contains("valid_status") != (f->statusField >= 0))
        return doc.failAt(at, prefix + "valid_status", "status_field and valid_status go together", err);
    if (f->statusField >= 0 && !doc.getStrings(t, "valid_status", prefix + "valid_status", &f->valid, err))
        return false;
    std::string unit;
    if ((g = doc.getString(t, "unit", &unit, err, prefix)) == TomlDoc::Bad) return false;
    if (g == TomlDoc::Ok && !parseUnit(unit, &f->unit))
        return doc.failAt(t.get("unit"), prefix + "unit",
                          "unknown unit \"" + unit + "\" (known: dBm, dB, %, Hz, kHz, MHz, ppm)", err);
    if (!convertible(f->unit, f->recorded))
        return doc.failAt(t.get("unit"), prefix + "unit",
                          std::string("the record keeps it in ") + unitName(f->recorded) + "; a reply in " + unit +
                              " cannot become that",
                          err);
    return true;
}

bool parseMeasurements(const TomlDoc &doc, Profile *p, std::string *err) {
    for (int i = 0; i < 3; i++) p->replies[i].unit = p->replies[i].recorded = kMeasures[i].recorded;
    if (!doc.has(doc.root(), "measurements")) return true;
    const toml::table *ms = doc.table(doc.root(), "measurements", err);
    if (!ms) return false;
    const char *names[] = {kMeasures[0].name, kMeasures[1].name, kMeasures[2].name, nullptr};
    if (!doc.onlyKeys(*ms, "measurements.", names, err)) return false;
    for (int i = 0; i < 3; i++) {
        std::string key = std::string("measurements.") + kMeasures[i].name;
        const toml::table *t = ms->contains(kMeasures[i].name) ? doc.table(*ms, kMeasures[i].name, err, "measurements.")
                                                               : nullptr;
        if (ms->contains(kMeasures[i].name) && !t) return false;
        if (t && !parseMeasurement(doc, *t, key, &p->replies[i], err)) return false;
    }
    return true;
}

}  // namespace

const char *opKey(Op op) { return kOps[(int)op].key; }

bool isQuery(const std::string &cmd) {
    size_t start = cmd.find_first_not_of(" \t");
    if (start == std::string::npos) return false;
    size_t end = cmd.find_first_of(" \t", start);
    std::string header = cmd.substr(start, end == std::string::npos ? std::string::npos : end - start);
    return !header.empty() && header.back() == '?';
}

std::string expand(const std::string &t, const Params &p) {
    std::string out, why;
    return expandCommand(t, p, Maps(), &out, &why) ? out : "";
}

bool Profile::canSend(const std::string &param, const std::string &value, std::string *why) const {
    for (int op = 0; op < kOpCount; op++)
        for (const std::string &c : ops[op])
            for (const TemplateRef &r : templateRefs(c)) {
                if (r.name != param || r.map.empty()) continue;
                auto m = maps.find(r.map);
                if (m != maps.end() && m->second.count(value)) continue;
                *why = path + ": operations." + opKey((Op)op) + " sends {" + param + "|" + r.map + "}, and " +
                       param + " " + value + " is not in [maps." + r.map + "]";
                return false;
            }
    return true;
}

bool parseProfile(const std::string &text, const std::string &name, Profile *out, std::string *err) {
    TomlDoc doc;
    if (!doc.parse(text, name, err)) return false;
    Profile p;
    p.path = name;
    err->clear();
    if (!parseTop(doc, &p, err) || !parseMaps(doc, &p, err) || !parseOps(doc, &p, err) ||
        !parsePoll(doc, &p, err) || !parseMeasurements(doc, &p, err))
        return false;
    *out = p;
    return true;
}

bool loadProfile(const std::string &path, Profile *out, std::string *err) {
    std::string text;
    if (!readWhole(path, &text, err)) return false;
    return parseProfile(text, path, out, err);
}

}  // namespace instrument
