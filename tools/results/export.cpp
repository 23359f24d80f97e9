// JSON and JUnit XML renderings of a record.
#include "results/export.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "results/util.h"

namespace results {

namespace {

// ---- JSON ------------------------------------------------------------------

void jsonString(std::string *out, const std::string &s) {
    *out += '"';
    for (size_t i = 0; i < s.size();) {
        size_t n = validUtf8Prefix(s, i);
        if (n == 0) {
            *out += "\\ufffd";
            i++;
            continue;
        }
        unsigned char c = (unsigned char)s[i];
        if (n > 1) {
            out->append(s, i, n);
        } else if (c == '"') {
            *out += "\\\"";
        } else if (c == '\\') {
            *out += "\\\\";
        } else if (c == '\n') {
            *out += "\\n";
        } else if (c == '\r') {
            *out += "\\r";
        } else if (c == '\t') {
            *out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", c);
            *out += buf;
        } else {
            *out += (char)c;
        }
        i += n;
    }
    *out += '"';
}

// A tiny writer that keeps commas and indentation right.  Keys are always
// plain ASCII constants of ours; values go through jsonString.
class Json {
  public:
    explicit Json(bool pretty) : pretty_(pretty) {}

    // flat: in pretty output, the container stays on one line.
    void open(char c, bool flat = false) {
        item();
        out_ += c;
        depth_++;
        first_ = true;
        if (flat || flat_) flat_++;
    }
    void close(char c) {
        depth_--;
        if (!first_) newline();
        out_ += c;
        first_ = false;
        if (flat_) flat_--;
    }
    void key(const char *k) {
        item();
        out_ += '"';
        out_ += k;
        out_ += pretty_ ? "\": " : "\":";
        afterKey_ = true;
    }
    void str(const std::string &s) {
        item();
        jsonString(&out_, s);
    }
    void strOrNull(const std::string &s) {
        if (s.empty()) raw("null");
        else str(s);
    }
    void num(double d) { raw(std::isfinite(d) ? formatNumber(d) : "null"); }
    void integer(long long v) { raw(std::to_string(v)); }
    void raw(const std::string &s) {
        item();
        out_ += s;
    }
    std::string done() {
        if (pretty_) out_ += '\n';
        return out_;
    }

  private:
    void newline() {
        if (!pretty_) return;
        if (flat_) {
            out_ += ' ';
            return;
        }
        out_ += '\n';
        out_.append((size_t)depth_ * 2, ' ');
    }
    // Before a value or a key: a comma and a line break unless it is the
    // first in its container, nothing after a key.
    void item() {
        if (afterKey_) {
            afterKey_ = false;
            return;
        }
        if (depth_ > 0) {
            if (!first_) out_ += ',';
            newline();
        }
        first_ = false;
    }

    std::string out_;
    bool pretty_;
    int depth_ = 0;
    int flat_ = 0;
    bool first_ = true;
    bool afterKey_ = false;
};

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
        else j.raw("null");
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
        else j.raw("null");
        j.key("high");
        if (m.high) j.num(*m.high);
        else j.raw("null");
        j.key("verdict"), j.str(verdictName(m.verdict));
        j.close('}');
    }
    j.close(']');
    j.key("verdict"), j.str(verdictName(s.verdict));
    j.key("error"), j.strOrNull(s.error);
    j.close('}');
}

// ---- XML -------------------------------------------------------------------

// Escaped for text and attribute values.  XML 1.0 cannot carry most control
// characters at all, not even escaped: they become U+FFFD like bad UTF-8.
void xmlText(std::string *out, const std::string &s) {
    for (size_t i = 0; i < s.size();) {
        size_t n = validUtf8Prefix(s, i);
        unsigned char c = (unsigned char)s[i];
        if (n == 0 || (n == 1 && c < 0x20 && c != '\t' && c != '\n' && c != '\r')) {
            *out += "\xEF\xBF\xBD";
            i += n ? n : 1;
            continue;
        }
        if (n > 1) out->append(s, i, n);
        else if (c == '&') *out += "&amp;";
        else if (c == '<') *out += "&lt;";
        else if (c == '>') *out += "&gt;";
        else if (c == '"') *out += "&quot;";
        else if (c == '\'') *out += "&apos;";
        else if (c == '\n') *out += "&#10;";
        else if (c == '\r') *out += "&#13;";
        else if (c == '\t') *out += "&#9;";
        else *out += (char)c;
        i += n;
    }
}

void attr(std::string *out, const char *name, const std::string &value) {
    *out += ' ';
    *out += name;
    *out += "=\"";
    xmlText(out, value);
    *out += '"';
}

void property(std::string *out, const std::string &name, const std::string &value) {
    *out += "      <property";
    attr(out, "name", name);
    attr(out, "value", value);
    *out += "/>\n";
}

std::string seconds(double s) {
    char buf[32];
    snprintf(buf, sizeof buf, "%.3f", std::isfinite(s) && s > 0 ? s : 0.0);
    return buf;
}

std::string stepTitle(const Step &s) {
    std::string t = "line " + std::to_string(s.line) + ": " + s.command;
    for (const std::string &a : s.args) t += " " + a;
    return t;
}

std::string measurementLine(const Measurement &m) {
    std::string t = m.name + " = " + formatNumber(m.value);
    if (m.low || m.high) {
        t += " (limits " + (m.low ? formatNumber(*m.low) : std::string("-inf")) + " .. " +
             (m.high ? formatNumber(*m.high) : std::string("+inf")) + ")";
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
    for (const auto &kv : r.metadata) j.key(kv.first.c_str()), j.str(kv.second);
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
    std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n";
    for (const Record *r : records) {
        int failures = 0, errors = 0;
        double total = 0;
        for (const Step &s : r->steps) {
            failures += s.verdict == Verdict::Fail;
            errors += s.verdict == Verdict::Error;
            total += s.durationS;
        }
        double span = spanSeconds(r->startedAt, r->endedAt);
        x += "  <testsuite";
        attr(&x, "name", r->planName);
        attr(&x, "tests", std::to_string(r->steps.size()));
        attr(&x, "failures", std::to_string(failures));
        attr(&x, "errors", std::to_string(errors));
        attr(&x, "skipped", "0");
        attr(&x, "time", seconds(span > 0 ? span : total));
        // JUnit's timestamp has no zone; ours is UTC.
        attr(&x, "timestamp", r->startedAt.substr(0, 19));
        attr(&x, "hostname", r->station);
        attr(&x, "id", r->id);
        x += ">\n    <properties>\n";
        property(&x, "serial", r->serial);
        property(&x, "station", r->station);
        property(&x, "operator", r->operatorName);
        property(&x, "record_id", r->id);
        property(&x, "plan_sha256", r->planSha256);
        property(&x, "verdict", verdictName(r->verdict));
        for (const auto &kv : r->metadata) property(&x, "metadata." + kv.first, kv.second);
        x += "    </properties>\n";
        for (const Step &s : r->steps) {
            x += "    <testcase";
            attr(&x, "name", stepTitle(s));
            attr(&x, "classname", r->planName + "." + r->serial);
            attr(&x, "time", seconds(s.durationS));
            std::string detail;
            for (const Measurement &m : s.measurements) detail += measurementLine(m) + "\n";
            if (s.verdict == Verdict::Pass) {
                if (detail.empty()) {
                    x += "/>\n";
                } else {
                    x += ">\n      <system-out>";
                    xmlText(&x, detail);
                    x += "</system-out>\n    </testcase>\n";
                }
                continue;
            }
            const char *tag = s.verdict == Verdict::Fail ? "failure" : "error";
            std::string message = s.verdict == Verdict::Error ? s.error : std::string();
            if (message.empty())
                for (const Measurement &m : s.measurements)
                    if (m.verdict == Verdict::Fail) {
                        message = measurementLine(m);
                        break;
                    }
            x += ">\n      <";
            x += tag;
            attr(&x, "message", message);
            attr(&x, "type", verdictName(s.verdict));
            x += ">";
            xmlText(&x, detail);
            x += "</";
            x += tag;
            x += ">\n    </testcase>\n";
        }
        x += "  </testsuite>\n";
    }
    x += "</testsuites>\n";
    return x;
}

std::string toJunitXml(const Record &r) { return toJunitXml(std::vector<const Record *>{&r}); }

}  // namespace results
