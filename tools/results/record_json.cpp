// A record as JSON, and its digest.
#include "results/export.h"


#include "format/json.h"
#include "format/text.h"

namespace results {

namespace {

using format::Json;

void jsonRequest(Json &j, const RequestFields &q) {
    j.open('{', true);
    j.key("code"), j.integer(q.code);
    j.key("byte"), j.integer(q.byteArg);
    j.key("value1"), j.integer(q.value1);
    j.key("value2"), j.integer(q.value2);
    j.key("value3"), j.integer(q.value3);
    j.key("chain"), j.integer(q.chain);
    j.close('}');
}

void jsonReply(Json &j, const ReplyFields &p) {
    j.open('{', true);
    j.key("code"), j.integer(p.code);
    j.key("byte"), j.integer(p.byteArg);
    j.key("value1"), j.integer(p.value1);
    j.key("value2"), j.integer(p.value2);
    j.key("value3"), j.integer(p.value3);
    j.key("half"), j.integer(p.half);
    j.key("from"), j.strOrNull(p.from);
    j.close('}');
}

// A step's series: name, columns (name, unit) and one array per row.
void jsonSeries(Json &j, const std::vector<Series> &series) {
    j.open('[');
    for (const Series &t : series) {
        j.open('{');
        j.key("name"), j.str(t.name);
        j.key("columns");
        j.open('[');
        for (const SeriesColumn &c : t.columns) {
            j.open('{', true);
            j.key("name"), j.str(c.name);
            j.key("unit"), j.str(c.unit);
            j.close('}');
        }
        j.close(']');
        j.key("rows");
        j.open('[');
        for (const std::vector<double> &row : t.rows) {
            j.open('[', true);
            for (double v : row) j.num(v);
            j.close(']');
        }
        j.close(']');
        j.close('}');
    }
    j.close(']');
}

void jsonStep(Json &j, const Step &s, size_t index) {
    j.open('{');
    j.key("index"), j.integer((long long)index);
    j.key("line"), j.integer(s.line);
    j.key("command"), j.str(s.command);
    j.key("args");
    j.open('[', true);
    for (const std::string &a : s.args) j.str(a);
    j.close(']');
    j.key("started_at"), j.str(s.startedAt);
    j.key("duration_s"), j.num(s.durationS);
    j.key("exchanges");
    j.open('[');
    for (const Exchange &e : s.exchanges) {
        j.open('{');
        j.key("request"), jsonRequest(j, e.request);
        j.key("reply");
        if (e.reply) jsonReply(j, *e.reply);
        else j.null();
        j.key("attempts"), j.integer(e.attempts);
        j.close('}');
    }
    j.close(']');
    j.key("measurements");
    j.open('[');
    for (const Measurement &m : s.measurements) {
        j.open('{', true);
        j.key("name"), j.str(m.name);
        j.key("value"), j.num(m.value);
        j.key("low");
        if (m.low) j.num(*m.low);
        else j.null();
        j.key("high");
        if (m.high) j.num(*m.high);
        else j.null();
        j.key("verdict"), j.str(verdictName(m.verdict));
        j.close('}');
    }
    j.close(']');
    // Only a step that has series writes the key: every other step (and
    // record, and its digest) reads as before series existed.
    if (!s.series.empty()) j.key("series"), jsonSeries(j, s.series);
    j.key("verdict"), j.str(verdictName(s.verdict));
    j.key("error"), j.strOrNull(s.error);
    j.close('}');
}

}  // namespace

std::string toJson(const Record &r, bool pretty) {
    Json j(pretty);
    j.open('{');
    j.key("schema"), j.str(kRecordSchema);
    j.key("record_id"), j.str(r.id);
    j.key("serial"), j.str(r.serial);
    j.key("station"), j.str(r.station);
    j.key("operator"), j.str(r.operatorName);
    j.key("metadata");
    j.open('{');
    for (const auto &kv : r.metadata) j.key(kv.first), j.str(kv.second);
    j.close('}');
    j.key("plan");
    j.open('{');
    j.key("name"), j.str(r.planName);
    j.key("sha256"), j.str(r.planSha256);
    j.close('}');
    j.key("started_at"), j.str(r.startedAt);
    j.key("ended_at"), j.str(r.endedAt);
    j.key("verdict"), j.str(verdictName(r.verdict));
    j.key("steps");
    j.open('[');
    for (size_t i = 0; i < r.steps.size(); i++) jsonStep(j, r.steps[i], i);
    j.close(']');
    j.close('}');
    return j.done();
}

// The second digest: "v2:" and the SHA-256 of the compact JSON document.
// The first was the bare SHA-256 of the compact JSON of an older rfprobe,
// whose number spelling differed; a store may hold both (rows.cpp).
std::string recordDigest(const Record &r) { return "v2:" + sha256Hex(toJson(r, false)); }

bool isCurrentDigest(const std::string &digest) { return digest.compare(0, 3, "v2:") == 0; }

}  // namespace results
