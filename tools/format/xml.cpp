// The XML writer and JUnit XML.
#include "format/xml.h"

#include <cmath>

#include "format/text.h"

namespace format {

namespace {

bool xmlChar(char32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

std::string seconds(double s) { return fixed(std::isfinite(s) && s > 0 ? s : 0.0, 3); }

}  // namespace

void xmlText(std::string *out, std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        size_t n = utf8Len(s, i);
        if (n == 0 || !xmlChar(utf8Decode(s, i, n))) {
            *out += kReplacement;
            i += n ? n : 1;
            continue;
        }
        char c = s[i];
        if (n > 1) out->append(s.data() + i, n);
        else if (c == '&') *out += "&amp;";
        else if (c == '<') *out += "&lt;";
        else if (c == '>') *out += "&gt;";
        else if (c == '"') *out += "&quot;";
        else if (c == '\'') *out += "&apos;";
        else if (c == '\n') *out += "&#10;";
        else if (c == '\r') *out += "&#13;";
        else if (c == '\t') *out += "&#9;";
        else *out += c;
        i += n;
    }
}

void xmlAttr(std::string *out, std::string_view name, std::string_view value) {
    *out += ' ';
    *out += name;
    *out += "=\"";
    xmlText(out, value);
    *out += '"';
}

std::string junitXml(const std::vector<JunitSuite> &suites) {
    std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n";
    for (const JunitSuite &s : suites) {
        int failures = 0, errors = 0;
        for (const JunitCase &c : s.cases) {
            failures += c.outcome == JunitCase::Failure;
            errors += c.outcome == JunitCase::Error;
        }
        x += "  <testsuite";
        xmlAttr(&x, "name", s.name);
        xmlAttr(&x, "tests", std::to_string(s.cases.size()));
        xmlAttr(&x, "failures", std::to_string(failures));
        xmlAttr(&x, "errors", std::to_string(errors));
        xmlAttr(&x, "skipped", "0");
        xmlAttr(&x, "time", seconds(s.seconds));
        xmlAttr(&x, "timestamp", s.timestamp);
        xmlAttr(&x, "hostname", s.hostname);
        xmlAttr(&x, "id", s.id);
        x += ">\n    <properties>\n";
        for (const auto &p : s.properties) {
            x += "      <property";
            xmlAttr(&x, "name", p.first);
            xmlAttr(&x, "value", p.second);
            x += "/>\n";
        }
        x += "    </properties>\n";
        for (const JunitCase &c : s.cases) {
            x += "    <testcase";
            xmlAttr(&x, "name", c.name);
            xmlAttr(&x, "classname", c.classname);
            xmlAttr(&x, "time", seconds(c.seconds));
            if (c.outcome == JunitCase::Pass) {
                if (c.detail.empty()) {
                    x += "/>\n";
                } else {
                    x += ">\n      <system-out>";
                    xmlText(&x, c.detail);
                    x += "</system-out>\n    </testcase>\n";
                }
                continue;
            }
            const char *tag = c.outcome == JunitCase::Failure ? "failure" : "error";
            x += ">\n      <";
            x += tag;
            xmlAttr(&x, "message", c.message);
            xmlAttr(&x, "type", c.type);
            x += ">";
            xmlText(&x, c.detail);
            x += "</";
            x += tag;
            x += ">\n    </testcase>\n";
        }
        x += "  </testsuite>\n";
    }
    x += "</testsuites>\n";
    return x;
}

}  // namespace format
