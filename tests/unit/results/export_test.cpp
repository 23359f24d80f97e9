// JSON and JUnit XML: what a dashboard's parser reads back.  Python's own
// json and xml parsers judge the documents.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>

#include "fixtures.h"
#include "results/export.h"

using namespace results;

namespace {

// Runs python3 -c code with text on its standard input; its output.
std::string python(const std::string &code, const std::string &text) {
    std::string dir = fixtures::tempDir();
    std::string in = dir + "/in", script = dir + "/check.py";
    std::ofstream(in, std::ios::binary) << text;
    std::ofstream(script) << code;
    FILE *p = popen(("/usr/bin/python3 " + script + " < " + in + " 2>&1").c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while (p && (n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int st = p ? pclose(p) : -1;
    fixtures::removeTree(dir);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << out;
    return out;
}

// Text that trips careless writers.
const std::string kNasty = "a\"b\\c\nd\te\x01<f>&'g\x7f \xC3\xA9\xF0\x9F\x93\xA1";

}  // namespace

TEST(Json, ParsesBackWithEveryField) {
    fixtures::Shape s;
    s.rxError = true;
    Record r = fixtures::makeRecord(s);
    r.operatorName = kNasty;
    r.metadata["note"] = kNasty;
    for (bool pretty : {true, false}) {
        std::string out = python(R"(
import json, sys
d = json.load(sys.stdin)
st = d["steps"]
print(d["schema"], d["verdict"], len(st), d["plan"]["name"])
print(repr(d["operator"]) == repr(d["metadata"]["note"]), ascii(d["operator"]))
print(st[2]["verdict"], st[2]["error"], st[2]["exchanges"][1]["reply"], st[2]["measurements"])
print(st[3]["measurements"][1], st[3]["measurements"][0]["value"], st[1]["args"], st[1]["exchanges"][0]["attempts"])
print(st[0]["error"], st[1]["duration_s"], st[0]["exchanges"][0]["reply"]["from"])
)",
                                 toJson(r, pretty));
        EXPECT_EQ(out,
                  "rfprobe-record/1 ERROR 4 factory.plan\n"
                  "True 'a\"b\\\\c\\nd\\te\\x01<f>&\\'g\\x7f \\xe9\\U0001f4e1'\n"
                  "ERROR no reply to stop-rx within 2000 ms None []\n"
                  "{'name': 'pa2', 'value': 418, 'low': None, 'high': 500, 'verdict': 'PASS'} -372 "
                  "['6', '--retries', '2'] 2\n"
                  "None 2.003 198.18.0.1\n")
            << (pretty ? "pretty" : "compact");
    }
}


// A step's series reads back as the same table, every digit kept; steps
// without one have no "series" key at all (their bytes and digests are
// those of records written before series).
TEST(Json, SeriesParseBackExactly) {
    Record r = fixtures::makeRecord();
    fixtures::addCalStep(&r);
    for (bool pretty : {true, false}) {
        std::string out = python(R"(
import json, sys
st = json.load(sys.stdin)["steps"]
print([s["command"] for s in st if "series" in s])
t = st[4]["series"][0]
print(t["name"], [(c["name"], c["unit"]) for c in t["columns"]])
print(t["rows"])
)",
                                 toJson(r, pretty));
        EXPECT_EQ(out,
                  "['pa-cal']\n"
                  "points [('set_power', 'dBm'), ('code', ''), ('measured', 'dBm'), ('loss', 'dB'), "
                  "('round', ''), ('verify', ''), ('dropped', '')]\n"
                  "[[5, 412, 6.25, 1.5, 1, 0, 0], [21, 3050, 19.875, 1.625, 1, 0, 0], "
                  "[5.25, 430, 5.125, 1.5, 2, 1, 0], [21, 4095, 20.9375, 1.625, 2, 1, 1], "
                  "[13.1, 1760, 0.30000000000000004, 1e-300, 2, 0, 2]]\n")
            << (pretty ? "pretty" : "compact");
    }
    EXPECT_EQ(toJson(fixtures::makeRecord()).find("series"), std::string::npos);
}
TEST(Json, BadBytesBecomeReplacementCharacters) {
    // A record that skipped validation still gives a document that parses.
    Record r = fixtures::makeRecord();
    r.operatorName = "ab\xC3(\xFF";
    std::string out = python("import json,sys; print(ascii(json.load(sys.stdin)['operator']))", toJson(r));
    EXPECT_EQ(out, "'ab\\ufffd(\\ufffd'\n");
}

TEST(Json, SameRecordSameBytes) {
    Record r = fixtures::makeRecord();
    EXPECT_EQ(toJson(r), toJson(r));
    EXPECT_EQ(recordDigest(r), "v2:" + sha256Hex(toJson(r, false)));
    Record other = r;
    other.steps[3].measurements[2].value = 1;
    EXPECT_NE(recordDigest(r), recordDigest(other));
    EXPECT_EQ(toJson(r, false).find('\n'), std::string::npos);
}

TEST(Junit, CountsAndEscaping) {
    fixtures::Shape low;
    low.rxCount = 12;
    Record fail = fixtures::makeRecord(low);
    fail.operatorName = kNasty;
    fixtures::Shape err;
    err.rxError = true;
    err.serial = "SN0002";
    Record error = fixtures::makeRecord(err);
    std::string out = python(R"(
import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.stdin).getroot()
for s in root.findall("testsuite"):
    props = {p.get("name"): p.get("value") for p in s.find("properties")}
    print(s.get("name"), s.get("tests"), s.get("failures"), s.get("errors"), s.get("time"), s.get("timestamp"),
          props["serial"], props["verdict"], props["metadata.lot"])
    for c in s.findall("testcase"):
        bad = c.find("failure") if c.find("failure") is not None else c.find("error")
        if bad is not None:
            print(" ", c.get("name"), bad.tag, bad.get("message"))
print(ascii(root[0].find("properties")[2].get("value")))
)",
                             toJunitXml({&fail, &error}));
    EXPECT_EQ(out,
              "factory.plan 4 1 0 2.500 2024-05-01T10:00:00 SN0001 FAIL 2024-18\n"
              "  line 5: rx --rate 15 --bw 40 --seconds 2 --min 950 --max 1050 failure "
              "count = 12 (limits 950 .. 1050) FAIL\n"
              "factory.plan 4 0 1 2.500 2024-05-01T10:00:00 SN0002 ERROR 2024-18\n"
              "  line 5: rx --rate 15 --bw 40 --seconds 2 --min 950 --max 1050 error "
              "no reply to stop-rx within 2000 ms\n"
              // Control characters cannot be carried by XML 1.0 at all.
              "'a\"b\\\\c\\nd\\te\\ufffd<f>&\\'g\\x7f \\xe9\\U0001f4e1'\n");
}
