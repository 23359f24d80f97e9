// The HTML report's one reader of the results store: four queries on the
// store's connection, under its lock, with the store's own filter.  The
// rows are ordered here, not by the server (whose collation and row order
// may differ between SQLite and PostgreSQL).
#include "report/data.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <tuple>
#include <unordered_map>

#include "results/db.h"
#include "results/sql.h"

namespace report {

using results::db::Connection;
using results::db::Params;
using results::db::Row;

namespace {

results::Verdict verdictOf(const Row &row, int col) {
    auto v = results::verdictFromName(row.text(col));
    if (!v) throw results::StoreError("the store holds an unknown verdict '" + row.text(col) + "'");
    return *v;
}

std::optional<double> optReal(const Row &row, int col) {
    if (row.isNull(col)) return std::nullopt;
    return row.real(col);
}

}  // namespace

Dataset readStore(results::Store &store, const results::RecordFilter &filter, Rows which) {
    Dataset d;
    // Rows of steps and measurements with their record's id and position,
    // sorted into record order once the records are known.
    struct Pending {
        std::string id;
        int64_t step = 0, index = 0;
    };
    std::vector<Pending> metaAt, stepAt, measAt;
    std::vector<MetadataRow> meta;
    std::vector<FailedStepRow> steps;
    std::vector<MeasurementRow> meas;
    std::map<std::tuple<std::string, int, std::string, std::string>, uint32_t> seriesIds;
    std::vector<std::tuple<int, std::string, std::string>> measStep;

    auto held = store.lock();
    try {
        Connection &c = store.connection();
        auto dialect = c.dialect();
        Params p;
        std::string where = results::sql::recordWhere(dialect, filter, &p);
        c.query("SELECT r.record_id, r.serial, r.station, r.operator, r.plan_name, " +
                    results::sql::timeText(dialect, "r.started_at") + ", " +
                    results::sql::timeText(dialect, "r.ended_at") + ", r.verdict FROM records r" + where,
                p, [&](const Row &row) {
                    RecordRow r;
                    r.id = row.text(0);
                    r.serial = row.text(1);
                    r.station = row.text(2);
                    r.operatorName = row.text(3);
                    r.plan = row.text(4);
                    r.startedAt = row.text(5);
                    r.endedAt = row.text(6);
                    r.verdict = verdictOf(row, 7);
                    d.records.push_back(std::move(r));
                });
        if (which == Rows::All) {
            c.query("SELECT md.record_id, md.key, md.value FROM record_metadata md"
                    " JOIN records r ON r.record_id = md.record_id" + where,
                    p, [&](const Row &row) {
                        metaAt.push_back({row.text(0), 0, 0});
                        meta.push_back({0, row.text(1), row.text(2)});
                    });
            c.query("SELECT st.record_id, st.step_index, st.line, st.command, st.verdict FROM steps st"
                    " JOIN records r ON r.record_id = st.record_id" + where +
                    (where.empty() ? " WHERE" : " AND") + " st.verdict <> 'PASS'",
                    p, [&](const Row &row) {
                        stepAt.push_back({row.text(0), row.integer(1), 0});
                        steps.push_back({0, (int)row.integer(2), row.text(3), verdictOf(row, 4)});
                    });
            c.query("SELECT m.record_id, m.step_index, m.measurement_index, st.line, st.command, m.name,"
                    " m.value, m.low, m.high FROM measurements m"
                    " JOIN steps st ON st.record_id = m.record_id AND st.step_index = m.step_index"
                    " JOIN records r ON r.record_id = m.record_id" + where,
                    p, [&](const Row &row) {
                        measAt.push_back({row.text(0), row.integer(1), row.integer(2)});
                        measStep.emplace_back((int)row.integer(3), row.text(4), row.text(5));
                        MeasurementRow m;
                        m.value = row.real(6);
                        m.low = optReal(row, 7);
                        m.high = optReal(row, 8);
                        meas.push_back(m);
                    });
        }
    } catch (const results::db::Error &e) {
        throw results::StoreError(e.what());
    }
    held.unlock();

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
