// A record's JUnit XML form.
#include <ctime>
#include <cstdio>

#include "format/text.h"
#include "format/xml.h"
#include "results/export.h"

namespace results {

namespace {

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
