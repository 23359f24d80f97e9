// The HTML report's one reader of the results store: the store's report
// rows (Store::reportRows) with the store's own filter.  The rows are
// ordered here, not by the server (whose collation and row order may
// differ between SQLite and PostgreSQL).
#include "report/data.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <tuple>
#include <unordered_map>

namespace report {

namespace {

// Rows of steps and measurements with their record's id and position,
// sorted into record order once the records are known.
struct Pending {
    std::string id;
    int64_t step = 0, index = 0;
};

// The chains of the pa-cal steps, read only where there are any: the
// steps table has no index by command, and most stores calibrate nothing.
void readChains(results::Store &store, const results::RecordFilter &filter,
                const std::vector<std::tuple<int, std::string, std::string>> &measStep, std::vector<Pending> *at,
                std::vector<CalStepRow> *rows) {
    bool calibrated = false;
    for (const auto &m : measStep) calibrated = calibrated || std::get<1>(m) == "pa-cal";
    if (!calibrated) return;
    results::ReportRowReader steps;
    steps.stepCommands = {"pa-cal"};
    steps.stepArgs = [&](const results::StepArgsEntry &x) {
        at->push_back({x.recordId, x.line, 0});
        rows->push_back({0, x.line, x.args.substr(0, x.args.find(' '))});
    };
    store.reportRows(filter, steps);
}

}  // namespace

Dataset readStore(results::Store &store, const results::RecordFilter &filter, Rows which) {
    Dataset d;
    std::vector<Pending> metaAt, stepAt, measAt;
    std::vector<MetadataRow> meta;
    std::vector<FailedStepRow> steps;
    std::vector<MeasurementRow> meas;
    std::vector<Pending> calAt;
    std::vector<CalStepRow> cal;
    std::map<std::tuple<std::string, int, std::string, std::string>, uint32_t> seriesIds;
    std::vector<std::tuple<int, std::string, std::string>> measStep;

    results::ReportRowReader reader;
    reader.record = [&](const results::RecordSummary &x) {
        RecordRow r;
        r.id = x.id;
        r.serial = x.serial;
        r.station = x.station;
        r.operatorName = x.operatorName;
        r.plan = x.planName;
        r.startedAt = x.startedAt;
        r.endedAt = x.endedAt;
        r.verdict = x.verdict;
        d.records.push_back(std::move(r));
    };
    if (which == Rows::All) {
        reader.metadata = [&](const results::MetadataEntry &x) {
            metaAt.push_back({x.recordId, 0, 0});
            meta.push_back({0, x.key, x.value});
        };
        reader.failedStep = [&](const results::FailedStep &x) {
            stepAt.push_back({x.recordId, x.stepIndex, 0});
            steps.push_back({0, x.line, x.command, x.verdict});
        };
        reader.measurement = [&](const results::MeasurementEntry &x) {
            measAt.push_back({x.recordId, x.stepIndex, x.index});
            measStep.emplace_back(x.line, x.command, x.name);
            MeasurementRow m;
            m.value = x.value;
            m.low = x.low;
            m.high = x.high;
            m.failed = x.failed;
            meas.push_back(m);
        };
    }
    store.reportRows(filter, reader);
    readChains(store, filter, measStep, &calAt, &cal);

    std::sort(d.records.begin(), d.records.end(), [](const RecordRow &a, const RecordRow &b) {
        return std::tie(a.startedAt, a.id) < std::tie(b.startedAt, b.id);
    });
    std::unordered_map<std::string, uint32_t> index;
    index.reserve(d.records.size());
    for (uint32_t i = 0; i < d.records.size(); i++) index.emplace(d.records[i].id, i);
    // Rows of a record written after the records were read (a station of
    // the line writes while the report reads) are left out with it.
    const uint32_t kLater = UINT32_MAX;
    auto recordOf = [&](const std::string &id) {
        auto it = index.find(id);
        return it == index.end() ? kLater : it->second;
    };

    // Each kind of row in record order, then by its position in the record.
    auto ordered = [&](std::vector<Pending> &at, auto keyOf) {
        std::vector<uint32_t> rec(at.size());
        std::vector<size_t> order;
        for (size_t i = 0; i < at.size(); i++) {
            rec[i] = recordOf(at[i].id);
            if (rec[i] != kLater) order.push_back(i);
        }
        std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
            return std::make_tuple(rec[a], at[a].step, at[a].index, keyOf(a)) <
                   std::make_tuple(rec[b], at[b].step, at[b].index, keyOf(b));
        });
        return std::make_pair(order, rec);
    };

    {
        auto [order, rec] = ordered(metaAt, [&](size_t i) { return meta[i].key; });
        for (size_t i : order) {
            meta[i].record = rec[i];
            d.metadata.push_back(std::move(meta[i]));
        }
    }
    {
        auto [order, rec] = ordered(stepAt, [](size_t) { return 0; });
        for (size_t i : order) {
            steps[i].record = rec[i];
            d.failedSteps.push_back(std::move(steps[i]));
        }
    }
    {
        auto [order, rec] = ordered(calAt, [](size_t) { return 0; });
        for (size_t i : order) {
            cal[i].record = rec[i];
            d.calSteps.push_back(std::move(cal[i]));
        }
    }
    {
        auto [order, rec] = ordered(measAt, [](size_t) { return 0; });
        d.measurements.reserve(meas.size());
        for (size_t i : order) {
            MeasurementRow m = meas[i];
            m.record = rec[i];
            auto key = std::make_tuple(d.records[m.record].plan, std::get<0>(measStep[i]),
                                       std::get<1>(measStep[i]), std::get<2>(measStep[i]));
            auto it = seriesIds.find(key);
            if (it == seriesIds.end()) {
                it = seriesIds.emplace(key, (uint32_t)d.series.size()).first;
                d.series.push_back({std::get<0>(key), std::get<1>(key), std::get<2>(key), std::get<3>(key)});
            }
            m.series = it->second;
            d.measurements.push_back(m);
        }
    }
    // Series numbered in a fixed order (plan, line, command, name).
    std::vector<uint32_t> renumber(d.series.size());
    {
        uint32_t k = 0;
        for (const auto &s : seriesIds) renumber[s.second] = k++;
        std::vector<SeriesKey> sorted(d.series.size());
        for (size_t i = 0; i < d.series.size(); i++) sorted[renumber[i]] = d.series[i];
        d.series = std::move(sorted);
        for (MeasurementRow &m : d.measurements) m.series = renumber[m.series];
    }
    return d;
}

}  // namespace report
