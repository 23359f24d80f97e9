#include "instrument/profile.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

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
};

std::string paramList(const OpDef &d) {
    std::string s;
    for (const char *p : d.params)
        if (p) s += std::string(s.empty() ? "" : ", ") + "{" + p + "}";
    return s.empty() ? "none" : s;
}

// Checks one template: balanced braces and known names.
bool checkTemplate(const OpDef &d, const std::string &t, std::string *why) {
    for (size_t i = 0; i < t.size(); i++) {
        if (t[i] == '}') {
            if (i + 1 < t.size() && t[i + 1] == '}') {
                i++;
                continue;
            }
            *why = "a lone '}' in \"" + t + "\" (write }} for a brace)";
            return false;
        }
        if (t[i] != '{') continue;
        if (i + 1 < t.size() && t[i + 1] == '{') {
            i++;
            continue;
        }
        size_t close = t.find('}', i);
        if (close == std::string::npos) {
            *why = "an unclosed '{' in \"" + t + "\"";
            return false;
        }
        std::string name = t.substr(i + 1, close - i - 1);
        bool known = false;
        for (const char *p : d.params) known |= p && name == p;
        if (!known) {
            *why = "unknown parameter {" + name + "} in \"" + t + "\"; " + d.key + " takes " + paramList(d);
            return false;
        }
        i = close;
    }
    if (t.empty() || t.find_first_not_of(" \t") == std::string::npos) {
        *why = "an empty command";
        return false;
    }
    if (t.find_first_of("\r\n") != std::string::npos) {
        *why = "a command holds a line end";
        return false;
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

std::string formatNumber(double v) {
    char buf[64];
    if (v == std::floor(v) && std::fabs(v) < 1e15) {
        snprintf(buf, sizeof buf, "%.0f", v);
        return buf;
    }
    for (int prec = 1; prec <= 17; prec++) {
        snprintf(buf, sizeof buf, "%.*f", prec, v);
        if (std::fabs(strtod(buf, nullptr) - v) <= std::fabs(v) * 1e-12) break;
    }
    // Trailing zeros add nothing.
    size_t n = strlen(buf);
    while (n > 0 && buf[n - 1] == '0') buf[--n] = 0;
    if (n > 0 && buf[n - 1] == '.') buf[--n] = 0;
    return buf;
}

std::string expand(const std::string &t, const Params &p) {
    std::string out;
    for (size_t i = 0; i < t.size(); i++) {
        if ((t[i] == '{' || t[i] == '}') && i + 1 < t.size() && t[i + 1] == t[i]) {
            out += t[i++];
            continue;
        }
        if (t[i] != '{') {
            out += t[i];
            continue;
        }
        size_t close = t.find('}', i);
        if (close == std::string::npos) {
            out += t.substr(i);
            break;
        }
        std::string name = t.substr(i + 1, close - i - 1);
        for (const auto &kv : p)
            if (kv.first == name) out += kv.second;
        i = close;
    }
    return out;
}

bool parseProfile(const std::string &text, const std::string &name, Profile *out, std::string *err) {
    TomlDoc doc;
    if (!doc.parse(text, name, err)) return false;
    Profile p;
    p.path = name;
    const char *topKeys[] = {"timeout_ms", "connect_timeout_ms", "error_query", "max_errors",
                             "frames_per_second", "operations", "name", nullptr};
    if (!doc.onlyKeys(doc.root(), "", topKeys, err)) return false;
    long long n;
    double d;
    if (doc.getInt(doc.root(), "timeout_ms", 1, 600000, &n, err) == TomlDoc::Bad) return false;
    if (doc.has(doc.root(), "timeout_ms")) p.timeoutMs = (int)n;
    if (doc.getInt(doc.root(), "connect_timeout_ms", 1, 600000, &n, err) == TomlDoc::Bad) return false;
    if (doc.has(doc.root(), "connect_timeout_ms")) p.connectTimeoutMs = (int)n;
    if (doc.getInt(doc.root(), "max_errors", 1, 1000, &n, err) == TomlDoc::Bad) return false;
    if (doc.has(doc.root(), "max_errors")) p.maxErrors = (int)n;
    if (doc.getNumber(doc.root(), "frames_per_second", 1e-3, 1e9, &d, err) == TomlDoc::Bad) return false;
    if (doc.has(doc.root(), "frames_per_second")) p.framesPerSecond = d;
    std::string s;
    if (doc.getString(doc.root(), "error_query", &s, err) == TomlDoc::Bad) return false;
    if (doc.has(doc.root(), "error_query")) {
        if (!isQuery(s)) return doc.fail("error_query", "\"" + s + "\" is not a query", err);
        p.errorQuery = s;
    }

    const toml::table *ops = doc.table(doc.root(), "operations", err);
    if (!ops) return false;
    for (auto &&kv : *ops) {
        std::string key(kv.first.str());
        bool known = false;
        for (const OpDef &o : kOps) known |= key == o.key;
        if (!known) {
            std::string all;
            for (const OpDef &o : kOps) all += std::string(all.empty() ? "" : ", ") + o.key;
            return doc.fail("operations." + key, "unknown operation; the operations are " + all, err);
        }
    }
    for (const OpDef &o : kOps) {
        std::string key = std::string("operations.") + o.key;
        std::vector<std::string> cmds;
        if (o.optional && !ops->contains(o.key)) continue;
        if (!doc.getStrings(*ops, o.key, key, &cmds, err)) return false;
        for (const std::string &c : cmds) {
            std::string why;
            if (!checkTemplate(o, c, &why)) return doc.fail(key, why, err);
        }
        if (o.endsInQuery && !isQuery(cmds.back()))
            return doc.fail(key, "must end in a query (a command ending in '?') whose reply it waits for", err);
        p.ops[(int)o.op] = cmds;
    }
    *out = p;
    return true;
}

bool loadProfile(const std::string &path, Profile *out, std::string *err) {
    std::string text;
    if (!readWhole(path, &text, err)) return false;
    return parseProfile(text, path, out, err);
}

}  // namespace instrument
