// A small results store for the report's tests: records of one plan, a
// day apart, whose steps (one per plan line) get measurements, series and
// errors as a test names them; written to an SQLite file on first use.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "results/record.h"
#include "results/store.h"

namespace report_test {

class ReportStore {
  public:
    explicit ReportStore(int records) {
        char dir[] = "/tmp/rfprobe-report-test-XXXXXX";
        path_ = std::string(mkdtemp(dir)) + "/store.sqlite";
        for (int i = 0; i < records; i++) {
            results::Record r;
            char id[40];
            snprintf(id, sizeof id, "00000000-0000-4000-8000-%012d", i);
            r.id = id;
            r.serial = "S" + std::to_string(i);
            r.station = "st";
            r.planName = "p";
            r.planSha256 = std::string(64, 'a');
            r.startedAt = "2026-01-" + two(i + 1) + "T10:00:00.000Z";
            r.endedAt = "2026-01-" + two(i + 1) + "T10:00:05.000Z";
            records_.push_back(r);
        }
    }
    ~ReportStore() {
        store_.reset();
        std::string dir = path_.substr(0, path_.rfind('/'));
        for (const char *f : {"", "-wal", "-shm"}) unlink((path_ + f).c_str());
        rmdir(dir.c_str());
    }

    // The step of record on plan line, made with command on first use.
    results::Step &step(uint32_t record, int line, const std::string &command) {
        results::Record &r = records_.at(record);
        for (results::Step &s : r.steps)
            if (s.line == line) return s;
        results::Step s;
        s.line = line;
        s.command = command;
        s.startedAt = r.startedAt;
        r.steps.push_back(s);
        std::sort(r.steps.begin(), r.steps.end(), [](const auto &a, const auto &b) { return a.line < b.line; });
        return step(record, line, command);
    }
    void measure(uint32_t record, int line, const std::string &command, const std::string &name, double value,
                 std::optional<double> low = {}, std::optional<double> high = {}) {
        step(record, line, command).measurements.push_back({name, value, low, high, results::Verdict::Pass});
    }

    results::Store &store() {
        if (!store_) {
            store_ = results::Store::open(path_);
            for (results::Record &r : records_) {
                results::applyVerdicts(&r);
                store_->write(r);
            }
        }
        return *store_;
    }

  private:
    static std::string two(int n) { return (n < 10 ? "0" : "") + std::to_string(n); }
    std::string path_;
    std::vector<results::Record> records_;
    std::unique_ptr<results::Store> store_;
};

}  // namespace report_test
