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

// The pa-cal steps' chains and series, read only where there are any: the
// steps table has no index by command, and most stores calibrate nothing.
struct CalRaw {
    std::vector<Pending> at, seriesAt;
    std::vector<CalStepRow> steps;
    std::vector<SeriesValueRow> series;
};

void readCalibrations(results::Store &store, const results::RecordFilter &filter,
                      const std::vector<std::tuple<int, std::string, std::string>> &measStep, CalRaw *cal) {
    bool calibrated = false;
    for (const auto &m : measStep) calibrated = calibrated || std::get<1>(m) == "pa-cal";
    if (!calibrated) return;
    results::ReportRowReader steps;
    steps.stepCommands = {"pa-cal"};
    steps.stepArgs = [&](const results::StepArgsEntry &x) {
        cal->at.push_back({x.recordId, x.line, 0});
        cal->steps.push_back({0, x.line, x.args.substr(0, x.args.find(' '))});
    };
    steps.seriesValue = [&](const results::SeriesValueEntry &x) {
        cal->seriesAt.push_back({x.recordId, x.line, x.row});
        cal->series.push_back({0, x.line, x.series, x.column, x.row, x.value});
    };
    store.reportRows(filter, steps);
}

// Every row as the store gives it, each kind with its record's id and
// position, before the records' order is known.
struct Raw {
    std::vector<Pending> metaAt, stepAt, measAt;
    std::vector<MetadataRow> meta;
    std::vector<FailedStepRow> steps;
    std::vector<MeasurementRow> meas;
    std::vector<std::tuple<int, std::string, std::string>> measStep;  // line, command, name
    CalRaw cal;
};

void readRows(results::Store &store, const results::RecordFilter &filter, Rows which, Dataset *d, Raw *raw) {
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
        d->records.push_back(std::move(r));
    };
    if (which == Rows::All) {
        reader.metadata = [&](const results::MetadataEntry &x) {
            raw->metaAt.push_back({x.recordId, 0, 0});
            raw->meta.push_back({0, x.key, x.value});
        };
        reader.failedStep = [&](const results::FailedStep &x) {
            raw->stepAt.push_back({x.recordId, x.stepIndex, 0});
            raw->steps.push_back({0, x.line, x.command, x.verdict});
        };
        reader.measurement = [&](const results::MeasurementEntry &x) {
            raw->measAt.push_back({x.recordId, x.stepIndex, x.index});
            raw->measStep.emplace_back(x.line, x.command, x.name);
            MeasurementRow m;
            m.value = x.value;
            m.low = x.low;
            m.high = x.high;
            m.failed = x.failed;
            raw->meas.push_back(m);
        };
    }
    store.reportRows(filter, reader);
    readCalibrations(store, filter, raw->measStep, &raw->cal);
}

// Rows of a record written after the records were read (a station of the
// line writes while the report reads) are left out with it.
constexpr uint32_t kLater = UINT32_MAX;

// The rows of one kind in record order, then by their position in the
// record: the indexes of the rows kept, and every row's record number.
template <typename KeyOf>
std::pair<std::vector<size_t>, std::vector<uint32_t>> ordered(
    const std::vector<Pending> &at, const std::unordered_map<std::string, uint32_t> &index, KeyOf keyOf) {
    std::vector<uint32_t> rec(at.size());
    std::vector<size_t> order;
    for (size_t i = 0; i < at.size(); i++) {
        auto it = index.find(at[i].id);
        rec[i] = it == index.end() ? kLater : it->second;
        if (rec[i] != kLater) order.push_back(i);
    }
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return std::make_tuple(rec[a], at[a].step, at[a].index, keyOf(a)) <
               std::make_tuple(rec[b], at[b].step, at[b].index, keyOf(b));
    });
    return {order, rec};
}

// The measurements in record order, each given its series (plan, line,
// command, name), the series numbered in that order.
void placeMeasurements(Raw &raw, const std::unordered_map<std::string, uint32_t> &index, Dataset *d) {
    std::map<std::tuple<std::string, int, std::string, std::string>, uint32_t> seriesIds;
    auto [order, rec] = ordered(raw.measAt, index, [](size_t) { return 0; });
    d->measurements.reserve(raw.meas.size());
    for (size_t i : order) {
        MeasurementRow m = raw.meas[i];
        m.record = rec[i];
        auto key = std::make_tuple(d->records[m.record].plan, std::get<0>(raw.measStep[i]),
                                   std::get<1>(raw.measStep[i]), std::get<2>(raw.measStep[i]));
        auto it = seriesIds.find(key);
        if (it == seriesIds.end()) {
            it = seriesIds.emplace(key, (uint32_t)d->series.size()).first;
            d->series.push_back({std::get<0>(key), std::get<1>(key), std::get<2>(key), std::get<3>(key)});
        }
        m.series = it->second;
        d->measurements.push_back(m);
    }
    std::vector<uint32_t> renumber(d->series.size());
    uint32_t k = 0;
    for (const auto &s : seriesIds) renumber[s.second] = k++;
    std::vector<SeriesKey> sorted(d->series.size());
    for (size_t i = 0; i < d->series.size(); i++) sorted[renumber[i]] = d->series[i];
    d->series = std::move(sorted);
    for (MeasurementRow &m : d->measurements) m.series = renumber[m.series];
}

}  // namespace

Dataset readStore(results::Store &store, const results::RecordFilter &filter, Rows which) {
    Dataset d;
    Raw raw;
    readRows(store, filter, which, &d, &raw);
    std::sort(d.records.begin(), d.records.end(), [](const RecordRow &a, const RecordRow &b) {
        return std::tie(a.startedAt, a.id) < std::tie(b.startedAt, b.id);
    });
    std::unordered_map<std::string, uint32_t> index;
    index.reserve(d.records.size());
    for (uint32_t i = 0; i < d.records.size(); i++) index.emplace(d.records[i].id, i);
    {
        auto [order, rec] = ordered(raw.metaAt, index, [&](size_t i) { return raw.meta[i].key; });
        for (size_t i : order) {
            raw.meta[i].record = rec[i];
            d.metadata.push_back(std::move(raw.meta[i]));
        }
    }
    {
        auto [order, rec] = ordered(raw.stepAt, index, [](size_t) { return 0; });
        for (size_t i : order) {
            raw.steps[i].record = rec[i];
            d.failedSteps.push_back(std::move(raw.steps[i]));
        }
    }
    {
        auto [order, rec] = ordered(raw.cal.at, index, [](size_t) { return 0; });
        for (size_t i : order) {
            raw.cal.steps[i].record = rec[i];
            d.calSteps.push_back(std::move(raw.cal.steps[i]));
        }
    }
    {
        const std::vector<SeriesValueRow> &v = raw.cal.series;
        auto [order, rec] = ordered(raw.cal.seriesAt, index,
                                    [&](size_t i) { return std::make_tuple(v[i].series, v[i].column); });
        for (size_t i : order) {
            raw.cal.series[i].record = rec[i];
            d.calSeries.push_back(std::move(raw.cal.series[i]));
        }
    }
    placeMeasurements(raw, index, &d);
    return d;
}

}  // namespace report
