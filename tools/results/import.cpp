// A record's JSON document read back, with Debian's JSON library.
#include "results/import.h"

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "results/export.h"

namespace results {

namespace {

using nlohmann::json;

// The member key of object j, which must be there.
const json &member(const json &j, const char *key, const std::string &where) {
    if (!j.is_object()) throw InvalidInput(where + " is not an object");
    auto it = j.find(key);
    if (it == j.end()) throw InvalidInput(where + " has no \"" + key + "\"");
    return *it;
}

std::string text(const json &j, const char *key, const std::string &where) {
    const json &v = member(j, key, where);
    if (!v.is_string()) throw InvalidInput(where + "." + key + " is not a string");
    return v.get<std::string>();
}

// A string or null (null: empty).
std::string textOrNull(const json &j, const char *key, const std::string &where) {
    const json &v = member(j, key, where);
    return v.is_null() ? std::string() : text(j, key, where);
}

double number(const json &v, const std::string &where) {
    if (v.is_null()) return std::numeric_limits<double>::quiet_NaN();
    if (!v.is_number()) throw InvalidInput(where + " is not a number");
    return v.get<double>();
}

std::optional<double> numberOrNull(const json &j, const char *key, const std::string &where) {
    const json &v = member(j, key, where);
    if (v.is_null()) return std::nullopt;
    return number(v, where + "." + key);
}

// A whole number from 0 to max.
uint64_t whole(const json &j, const char *key, uint64_t max, const std::string &where) {
    const json &v = member(j, key, where);
    if (!v.is_number_unsigned() || v.get<uint64_t>() > max)
        throw InvalidInput(where + "." + key + " is not a whole number from 0 to " + std::to_string(max));
    return v.get<uint64_t>();
}

Verdict verdictOf(const json &j, const std::string &where) {
    std::string name = text(j, "verdict", where);
    std::optional<Verdict> v = verdictFromName(name);
    if (!v) throw InvalidInput(where + ".verdict \"" + name + "\" is not PASS, FAIL or ERROR");
    return *v;
}

const json &array(const json &j, const char *key, const std::string &where) {
    const json &v = member(j, key, where);
    if (!v.is_array()) throw InvalidInput(where + "." + key + " is not an array");
    return v;
}

Exchange exchangeOf(const json &j, const std::string &at) {
    Exchange e;
    const json &q = member(j, "request", at);
    std::string qa = at + ".request";
    e.request.code = (uint8_t)whole(q, "code", 255, qa);
    e.request.byteArg = (uint8_t)whole(q, "byte", 255, qa);
    e.request.value1 = (uint32_t)whole(q, "value1", UINT32_MAX, qa);
    e.request.value2 = (uint32_t)whole(q, "value2", UINT32_MAX, qa);
    e.request.value3 = (uint32_t)whole(q, "value3", UINT32_MAX, qa);
    e.request.chain = (uint8_t)whole(q, "chain", 255, qa);
    const json &y = member(j, "reply", at);
    if (!y.is_null()) {
        std::string ya = at + ".reply";
        ReplyFields p;
        p.code = (uint8_t)whole(y, "code", 255, ya);
        p.byteArg = (uint8_t)whole(y, "byte", 255, ya);
        p.value1 = (uint32_t)whole(y, "value1", UINT32_MAX, ya);
        p.value2 = (uint32_t)whole(y, "value2", UINT32_MAX, ya);
        p.value3 = (uint32_t)whole(y, "value3", UINT32_MAX, ya);
        p.half = (uint16_t)whole(y, "half", UINT16_MAX, ya);
        p.from = textOrNull(y, "from", ya);
        e.reply = p;
    }
    e.attempts = (unsigned)whole(j, "attempts", UINT32_MAX, at);
    return e;
}

Series seriesOf(const json &j, const std::string &at) {
    Series t;
    t.name = text(j, "name", at);
    for (const json &c : array(j, "columns", at))
        t.columns.push_back({text(c, "name", at + ".columns"), text(c, "unit", at + ".columns")});
    for (const json &row : array(j, "rows", at)) {
        if (!row.is_array()) throw InvalidInput(at + ".rows holds a row that is not an array");
        t.rows.emplace_back();
        for (const json &v : row) t.rows.back().push_back(number(v, at + ".rows"));
    }
    return t;
}

Step stepOf(const json &j, size_t index) {
    std::string at = "steps[" + std::to_string(index) + "]";
    Step s;
    if (whole(j, "index", SIZE_MAX, at) != index) throw InvalidInput(at + ".index is not " + std::to_string(index));
    s.line = (int)whole(j, "line", INT32_MAX, at);
    s.command = text(j, "command", at);
    for (const json &a : array(j, "args", at)) {
        if (!a.is_string()) throw InvalidInput(at + ".args holds a value that is not a string");
        s.args.push_back(a.get<std::string>());
    }
    s.startedAt = text(j, "started_at", at);
    s.durationS = number(member(j, "duration_s", at), at + ".duration_s");
    const json &xs = array(j, "exchanges", at);
    for (size_t k = 0; k < xs.size(); k++) s.exchanges.push_back(exchangeOf(xs[k], at + ".exchanges"));
    for (const json &m : array(j, "measurements", at)) {
        std::string ma = at + ".measurements";
        s.measurements.push_back({text(m, "name", ma), number(member(m, "value", ma), ma + ".value"),
                                  numberOrNull(m, "low", ma), numberOrNull(m, "high", ma), verdictOf(m, ma)});
    }
    if (j.contains("series"))
        for (const json &t : array(j, "series", at)) s.series.push_back(seriesOf(t, at + ".series"));
    s.verdict = verdictOf(j, at);
    s.error = textOrNull(j, "error", at);
    return s;
}

}  // namespace

Record recordFromJson(const std::string &document) {
    json j;
    try {
        j = json::parse(document);
    } catch (const json::exception &e) {
        throw InvalidInput(std::string("not a JSON document: ") + e.what());
    }
    const std::string at = "the record";
    if (text(j, "schema", at) != kRecordSchema)
        throw InvalidInput("the record's schema is not " + std::string(kRecordSchema));
    Record r;
    r.id = text(j, "record_id", at);
    r.serial = text(j, "serial", at);
    r.station = text(j, "station", at);
    r.operatorName = text(j, "operator", at);
    const json &meta = member(j, "metadata", at);
    if (!meta.is_object()) throw InvalidInput("the record's metadata is not an object");
    for (const auto &kv : meta.items()) {
        if (!kv.value().is_string()) throw InvalidInput("metadata " + kv.key() + " is not a string");
        r.metadata[kv.key()] = kv.value().get<std::string>();
    }
    const json &plan = member(j, "plan", at);
    r.planName = text(plan, "name", "the record's plan");
    r.planSha256 = text(plan, "sha256", "the record's plan");
    r.startedAt = text(j, "started_at", at);
    r.endedAt = text(j, "ended_at", at);
    r.verdict = verdictOf(j, at);
    const json &steps = array(j, "steps", at);
    for (size_t i = 0; i < steps.size(); i++) r.steps.push_back(stepOf(steps[i], i));
    return r;
}

}  // namespace results
