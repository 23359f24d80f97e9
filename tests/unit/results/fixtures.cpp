#include "fixtures.h"

#include "results/archive_file.h"
#include "results/import.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace fixtures {

using namespace results;

static std::string at(const Shape &s, int extraMs) {
    int ms = s.second * 1000 + extraMs;
    char buf[40];
    snprintf(buf, sizeof buf, "%sT10:%02d:%02d.%03dZ", s.day.c_str(), ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
    return buf;
}

Record makeRecord(const Shape &s) {
    Record r;
    r.id = newRecordId();
    r.serial = s.serial;
    r.station = "line3-st1";
    r.operatorName = "Ana Lima";
    r.metadata = {{"fixture", "F-12"}, {"lot", "2024-18"}};
    r.planName = s.plan;
    r.planSha256 = sha256Hex("plan text of " + s.plan);
    r.startedAt = at(s, 0);
    r.endedAt = at(s, 2500);

    Step enter;
    enter.line = 2;
    enter.command = "enter-test-mode";
    enter.exchanges.push_back({{0x80, 0, 0, 0, 0, 0}, ReplyFields{0x80, 0, 0, 0, 0, 0, "198.18.0.1"}, 1});
    enter.startedAt = at(s, 1);
    enter.durationS = 0.012;

    Step chan;
    chan.line = 3;
    chan.command = "set-channel";
    chan.args = {"6", "--retries", "2"};
    chan.exchanges.push_back({{0x82, 6, 0, 0, 0, 0}, ReplyFields{0x82, 6, 0, 0, 0, 0, "198.18.0.1"}, 2});
    chan.startedAt = at(s, 20);
    chan.durationS = 2.003;

    Step rx;
    rx.line = 5;
    rx.command = "rx";
    rx.args = {"--rate", "15", "--bw", "40", "--seconds", "2", "--min", "950", "--max", "1050"};
    rx.exchanges.push_back({{0x97, 1, 15, 0, 0, 0}, ReplyFields{0x97, 1, 15, 0, 0, 0, "198.18.0.1"}, 1});
    if (s.rxError) {
        rx.exchanges.push_back({{0x98, 0, 0, 0, 0, 0}, std::nullopt, 1});
        rx.error = "no reply to stop-rx within 2000 ms";
    } else {
        rx.exchanges.push_back(
            {{0x98, 0, 0, 0, 0, 0}, ReplyFields{0x98, 0, (uint32_t)s.rxCount, 0, 0, 0, "198.18.0.1"}, 1});
        rx.measurements.push_back({"count", s.rxCount, 950.0, 1050.0, Verdict::Pass});
    }
    rx.startedAt = at(s, 100);
    rx.durationS = 2.0105;

    Step pa;
    pa.line = 7;
    pa.command = "pa-read";
    pa.args = {"0"};
    pa.exchanges.push_back({{0x92, 0, 0, 0, 0, 0},
                            ReplyFields{0x92, 0, (uint32_t)(int32_t)s.pa0 & 0xFFFFu, 418, 0, 0, "198.18.0.1"}, 1});
    pa.measurements.push_back({"pa1", s.pa0, -400.0, -300.0, Verdict::Pass});
    pa.measurements.push_back({"pa2", 418, std::nullopt, 500.0, Verdict::Pass});
    pa.measurements.push_back({"pa3", 0, std::nullopt, std::nullopt, Verdict::Pass});
    pa.startedAt = at(s, 2200);
    pa.durationS = 0.25;

    r.steps = {enter, chan, rx, pa};
    applyVerdicts(&r);
    return r;
}

void addCalStep(Record *r) {
    Step cal;
    cal.line = 9;
    cal.command = "pa-cal";
    cal.args = {"0", "--tolerance", "0.5"};
    cal.exchanges.push_back({{0x92, 0, 0, 0, 0, 0}, ReplyFields{0x92, 0, 0xFE8C, 6702, 0xFA1B, 0, "198.18.0.1"}, 1});
    cal.measurements.push_back({"verify_error_5", 0.125, -0.4, 0.4, Verdict::Pass});
    cal.measurements.push_back({"verify_error_21", -0.0625, -0.4, 0.4, Verdict::Pass});
    Series points;
    points.name = "points";
    points.columns = {{"set_power", "dBm"}, {"code", ""}, {"measured", "dBm"}, {"loss", "dB"},
                      {"round", ""},        {"verify", ""}, {"dropped", ""}};
    points.rows = {{5, 412, 6.25, 1.5, 1, 0, 0},
                   {21, 3050, 19.875, 1.625, 1, 0, 0},
                   {5.25, 430, 5.125, 1.5, 2, 1, 0},
                   {21, 4095, 20.9375, 1.625, 2, 1, 1},
                   {13.1, 1760, 0.1 + 0.2, 1e-300, 2, 0, 2}};  // digits that need 17 places
    cal.series = {points};
    cal.startedAt = r->steps.empty() ? r->startedAt : r->steps.back().startedAt;
    cal.durationS = 0.5;
    r->steps.push_back(cal);
    applyVerdicts(r);
}

std::vector<Record> lineDataset() {
    struct Row {
        const char *serial, *plan, *day;
        int second;
        double rx;
        bool rxError;
        double pa0;
    };
    const Row rows[] = {
        {"SN1", "factory.plan", "2024-05-01", 0, 1000, false, -372},
        {"SN2", "factory.plan", "2024-05-01", 10, 12, false, -371},
        {"SN3", "factory.plan", "2024-05-01", 20, 0, true, -370},
        {"SN1", "factory.plan", "2024-05-01", 30, 990, false, -380},
        {"SN5", "smoke.plan", "2024-05-01", 40, 1000, false, -372},
        {"SN4", "factory.plan", "2024-05-02", 0, 1010, false, -310},
        {"SN6", "factory.plan", "2024-05-02", 10, 1000, false, -450},
    };
    std::vector<Record> out;
    for (const Row &r : rows) {
        Shape s;
        s.serial = r.serial, s.plan = r.plan, s.day = r.day, s.second = r.second;
        s.rxCount = r.rx, s.rxError = r.rxError, s.pa0 = r.pa0;
        out.push_back(makeRecord(s));
    }
    Shape s;
    s.serial = "SN7", s.plan = "smoke.plan", s.day = "2024-05-02", s.second = 20;
    Record empty = makeRecord(s);
    empty.steps.clear();
    applyVerdicts(&empty);
    out.push_back(empty);
    return out;
}

std::vector<Record> archiveDataset() {
    std::vector<Record> out;
    int n = 0;
    for (const char *day : {"2024-01-10", "2024-01-20", "2024-02-05", "2024-03-05", "2024-03-15", "2024-04-02"}) {
        Shape s;
        s.day = day;
        s.serial = "SN" + std::to_string(++n);
        out.push_back(makeRecord(s));
    }
    addCalStep(&out[0]);
    for (int i : {1, 2, 3}) {
        out[i].metadata["kind"] = "golden";
        out[i].metadata["fixture_port"] = i == 2 ? "4" : "3";
    }
    return out;
}

std::vector<std::string> archiveDigests(const std::string &file) {
    std::vector<std::string> out;
    ArchiveReader in(file);
    std::string line;
    while (in.next(&line)) out.push_back(recordDigest(recordFromJson(line)));
    return out;
}

std::string tempDir() {
    char tmpl[] = "/tmp/rfresults-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    return tmpl;
}

void removeTree(const std::string &dir) {
    if (dir.compare(0, 15, "/tmp/rfresults-") == 0) system(("rm -rf '" + dir + "'").c_str());
}

}  // namespace fixtures
