// JSON and JUnit XML renderings of a record.
#include "results/export.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "format/json.h"
#include "format/text.h"
#include "format/xml.h"

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
    j.key("verdict"), j.str(verdictName(s.verdict));
    j.key("error"), j.strOrNull(s.error);
    j.close('}');
}

std::string stepTitle(const Step &s) {
    std::string t = "line " + std::to_string(s.line) + ": " + s.command;
    for (const std::string &a : s.args) t += " " + a;
    return t;
}

std::string measurementLine(const Measurement &m) {
    std::string t = m.name + " = " + format::number(m.value);
    if (m.low || m.high) {
        t += " (limits " + (m.low ? format::number(*m.low) : std::string("-inf")) + " .. " +
             (m.high ? format::number(*m.high) : std::string("+inf")) + ")";
    }
    t += " ";
    t += verdictName(m.verdict);
    return t;
}

// Seconds between two of our UTC times (same format); 0 when unknown.
double spanSeconds(const std::string &a, const std::string &b) {
    struct tm ta = {}, tb = {};
    int msa = 0, msb = 0;
    if (sscanf(a.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &ta.tm_year, &ta.tm_mon, &ta.tm_mday, &ta.tm_hour,
               &ta.tm_min, &ta.tm_sec, &msa) != 7 ||
        sscanf(b.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &tb.tm_year, &tb.tm_mon, &tb.tm_mday, &tb.tm_hour,
               &tb.tm_min, &tb.tm_sec, &msb) != 7)
        return 0;
    ta.tm_year -= 1900, tb.tm_year -= 1900, ta.tm_mon -= 1, tb.tm_mon -= 1;
    double d = difftime(timegm(&tb), timegm(&ta)) + (msb - msa) / 1000.0;
    return d > 0 ? d : 0;
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

std::string recordDigest(const Record &r) { return sha256Hex(toJson(r, false)); }

std::string toJunitXml(const std::vector<const Record *> &records) {
    std::vector<format::JunitSuite> suites;
    for (const Record *r : records) {
        format::JunitSuite su;
        double total = 0;
        for (const Step &s : r->steps) total += s.durationS;
        double span = spanSeconds(r->startedAt, r->endedAt);
        su.name = r->planName;
        su.seconds = span > 0 ? span : total;
        // JUnit's timestamp has no zone; ours is UTC.
        su.timestamp = r->startedAt.substr(0, 19);
        su.hostname = r->station;
        su.id = r->id;
        su.properties = {{"serial", r->serial},        {"station", r->station},
                         {"operator", r->operatorName}, {"record_id", r->id},
                         {"plan_sha256", r->planSha256}, {"verdict", verdictName(r->verdict)}};
        for (const auto &kv : r->metadata) su.properties.push_back({"metadata." + kv.first, kv.second});
        for (const Step &s : r->steps) {
            format::JunitCase c;
            c.name = stepTitle(s);
            c.classname = r->planName + "." + r->serial;
            c.seconds = s.durationS;
            for (const Measurement &m : s.measurements) c.detail += measurementLine(m) + "\n";
            if (s.verdict != Verdict::Pass) {
                c.outcome = s.verdict == Verdict::Fail ? format::JunitCase::Failure : format::JunitCase::Error;
                c.type = verdictName(s.verdict);
                c.message = s.verdict == Verdict::Error ? s.error : std::string();
                if (c.message.empty())
                    for (const Measurement &m : s.measurements)
                        if (m.verdict == Verdict::Fail) {
                            c.message = measurementLine(m);
                            break;
                        }
            }
            su.cases.push_back(std::move(c));
        }
        suites.push_back(std::move(su));
    }
    return format::junitXml(suites);
}

}  // namespace results
