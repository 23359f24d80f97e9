// store-fill: a results store filled with copies of real records, for the
// store's benchmark.
//
//   store-fill --from SQLITE --to URL --records N [--days D] [--stations S] [--start DAY]
//              [--now] [--serial SERIAL] [--station NAME] [--spool FILE]
//
// Every record of --from (records of a real line run) is copied in turn,
// each copy a record of its own: a new id, serial and station, its start
// (and its steps') moved to a time spread over D days from DAY, and every
// tenth copy made a golden check of its station's port.  The values,
// steps, exchanges and series stay as the real run wrote them, so the
// store holds what a line's records hold.  Written through the store, one
// record per transaction as a station writes them.  --now stamps each copy
// as ending now, and --serial, --station and --spool make one run a
// station keeping one unit's record (bench/fleet --real-records).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "results/store.h"

using namespace results;

namespace {

int64_t msOf(const std::string &utc) {
    struct tm t = {};
    int ms = 0;
    sscanf(utc.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec,
           &ms);
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return (int64_t)timegm(&t) * 1000 + ms;
}

std::string shifted(const std::string &utc, int64_t by) { return formatUtc(msOf(utc) + by); }

}  // namespace

int main(int argc, char **argv) {
    std::string from, to, start = "2026-01-05", serialAs, stationAs, spool;
    bool now = false;
    long records = 1000, days = 60, stations = 20;
    for (int i = 1; i < argc; i += 2) {
        std::string k = argv[i];
        if (k == "--now") {
            now = true;
            i--;
            continue;
        }
        if (i + 1 >= argc) break;
        std::string v = argv[i + 1];
        if (k == "--from") from = v;
        else if (k == "--serial") serialAs = v;
        else if (k == "--station") stationAs = v;
        else if (k == "--spool") spool = v;
        else if (k == "--to") to = v;
        else if (k == "--records") records = atol(v.c_str());
        else if (k == "--days") days = atol(v.c_str());
        else if (k == "--stations") stations = atol(v.c_str());
        else if (k == "--start") start = v;
        else {
            fprintf(stderr, "store-fill: unknown option %s\n", k.c_str());
            return 2;
        }
    }
    if (from.empty() || to.empty()) {
        fprintf(stderr, "usage: store-fill --from SQLITE --to URL --records N [--days D] [--stations S] [--start DAY]\n");
        return 2;
    }
    try {
        OpenOptions ro;
        ro.mustExist = true;
        auto src = Store::open(from, ro);
        std::vector<Record> real;
        ReportRowReader ids;
        std::vector<std::string> idList;
        ids.record = [&](const RecordSummary &s) { idList.push_back(s.id); };
        src->reportRows({}, ids);
        for (const std::string &id : idList) real.push_back(*src->load(id));
        if (real.empty()) {
            fprintf(stderr, "store-fill: %s holds no records\n", from.c_str());
            return 1;
        }
        OpenOptions wo;
        wo.spoolPath = !spool.empty() ? spool
                       : to.compare(0, 8, "postgres") == 0 ? "/tmp/store-fill-spool.sqlite" : to + ".spool-unused";
        wo.flushToDisk = now;
        auto dst = Store::open(to, wo);
        int64_t t0 = msOf(start + "T06:00:00.000Z"), span = days * 86400000LL;
        std::mt19937_64 rng(1060);
        long spooled = 0;
        for (long n = 0; n < records; n++) {
            Record r = real[(size_t)n % real.size()];
            int64_t at = t0 + span * n / records + (int64_t)(rng() % 1000);
            if (now) at = (int64_t)time(nullptr) * 1000 - (msOf(r.endedAt) - msOf(r.startedAt));
            int64_t by = at - msOf(r.startedAt);
            r.id = newRecordId();
            char serial[32];
            snprintf(serial, sizeof serial, "LC%07ld", n);
            r.serial = serialAs.empty() ? serial : serialAs;
            r.station = stationAs.empty() ? "line-" + std::to_string(n % stations + 1) : stationAs;
            r.startedAt = shifted(r.startedAt, by);
            r.endedAt = shifted(r.endedAt, by);
            for (Step &s : r.steps) s.startedAt = shifted(s.startedAt, by);
            if (n % 10 == 0 && !now) {
                r.metadata[kRecordKindKey] = kGoldenKind;
                r.metadata[kFixturePortKey] = std::to_string(n / stations % 4 + 1);
            }
            spooled += dst->write(r).spooled;
        }
        printf("%ld records written to %s (%ld spooled)\n", records, dst->url().display.c_str(), spooled);
        return spooled ? 1 : 0;
    } catch (const std::exception &e) {
        fprintf(stderr, "store-fill: %s\n", e.what());
        return 1;
    }
}
