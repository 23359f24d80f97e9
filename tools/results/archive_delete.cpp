// The last phase of an archive: the records it holds leave the store, in
// one transaction, and only if the store still holds exactly those.
#include <unistd.h>

#include <cstdio>

#include "results/archive_file.h"
#include "results/rows.h"

namespace results {

using db::Connection;
using db::Dialect;
using db::Row;

namespace {

// The records started before `before` must be those archived: a record
// that came since (a late sync, a station's wrong clock) stops the delete.
// Run under the lock that keeps new records out.
void checkStillArchived(Connection &c, const std::string &before, const ArchiveTally &written) {
    bool pg = c.dialect() == Dialect::Postgres;
    ArchiveTally now;
    c.query(std::string("SELECT digest FROM records WHERE started_at < $1") + (pg ? "::timestamptz" : ""), {before},
            [&](const Row &row) { now.add(row.text(0)); });
    if (!(now == written))
        throw StoreError("the store changed while archiving (" + std::to_string(now.count) +
                         " records started before " + before.substr(0, 10) + " now, " +
                         std::to_string(written.count) + " in the archive): nothing deleted");
}

// The lock-out reads the newest golden check of each port: of the
// archived ones, only each port's newest stays.
void keepNewestGoldenChecks(Connection &c, const std::string &before) {
    std::string t = c.dialect() == Dialect::Postgres ? "$1::timestamptz" : "$1";
    c.run("DELETE FROM golden_checks WHERE started_at < " + t +
              " AND EXISTS (SELECT 1 FROM golden_checks h WHERE h.station = golden_checks.station"
              " AND h.port = golden_checks.port AND h.started_at < " + t + " AND h.seq > golden_checks.seq)",
          {before});
}

// "YYYY-MM" of the month after month.
std::string nextMonth(const std::string &month) {
    int y = std::stoi(month.substr(0, 4)), m = std::stoi(month.substr(5, 2));
    char buf[32];
    snprintf(buf, sizeof buf, "%04d-%02d", m == 12 ? y + 1 : y, m == 12 ? 1 : m + 1);
    return buf;
}

// PostgreSQL: the months of records' partitions ("YYYY-MM"), oldest first.
std::vector<std::string> partitionMonths(Connection &c) {
    std::vector<std::string> months;
    c.query("SELECT c.relname FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid"
            " WHERE i.inhparent = 'records'::regclass ORDER BY 1",
            {}, [&](const Row &row) {
                std::string n = row.text(0);  // records_yYYYYmMM
                if (n.size() == 16 && n.compare(0, 9, "records_y") == 0 && n[13] == 'm')
                    months.push_back(n.substr(9, 4) + "-" + n.substr(14, 2));
            });
    return months;
}

std::string suffix(const std::string &month) { return "_y" + month.substr(0, 4) + "m" + month.substr(5, 2); }

const char *const kPartitioned[][2] = {
    {"record_metadata", "record_started"}, {"steps", "record_started"}, {"series", "record_started"},
    {"records", "started_at"}};

// PostgreSQL: the months wholly before `before` are dropped, table by
// table; the month it falls in loses the rows before it.
void deletePg(Connection &c, const std::string &before, const ArchiveTally &written) {
    c.exec("SELECT pg_advisory_xact_lock(1062)");  // one archive at a time
    std::vector<std::string> whole;
    std::string partial;
    for (const std::string &m : partitionMonths(c)) {
        if (m + "-01T00:00:00.000Z" >= before) continue;
        if (nextMonth(m) + "-01T00:00:00.000Z" <= before) whole.push_back(m);
        else partial = m;
        // No record of these months comes in until the end.
        c.exec("LOCK TABLE records" + suffix(m) + " IN SHARE MODE");
    }
    checkStillArchived(c, before, written);
    keepNewestGoldenChecks(c, before);
    if (!partial.empty())
        for (const auto &t : kPartitioned)
            c.run(std::string("DELETE FROM ") + t[0] + suffix(partial) + " WHERE " + t[1] + " < $1::timestamptz",
                  {before});
    // Last: dropping a partition locks its table whole until the commit.
    for (const std::string &m : whole) {
        std::string tables;
        for (const auto &t : kPartitioned) tables += (tables.empty() ? "" : ", ") + std::string(t[0]) + suffix(m);
        c.exec("DROP TABLE " + tables);
    }
}

void deleteSqlite(Connection &c, const std::string &before, const ArchiveTally &written) {
    checkStillArchived(c, before, written);
    keepNewestGoldenChecks(c, before);
    c.run("DELETE FROM records WHERE started_at < $1", {before});  // their rows go with them
}

// SQLite: the file shrinks to what is left.  The records are gone
// whatever happens here; a failure is only told.
std::string compactSqlite(Connection &c) {
    try {
        db::retryBusy([&] { c.exec("VACUUM"); });
        c.query("PRAGMA wal_checkpoint(TRUNCATE)", {}, [](const Row &) {});
    } catch (const db::Error &e) {
        return std::string("the file was not compacted (") + e.what() + "); it shrinks at the next archive";
    }
    return "";
}

}  // namespace

std::string Store::deleteArchived(const std::string &before, const std::string &file, const ArchiveTally &written) {
    std::string note;
    bool committing = false;
    try {
        withConnection([&](Connection &c) {
            bool pg = c.dialect() == Dialect::Postgres;
            db::retryBusy([&] {
                committing = false;
                db::transaction(c, [&] {
                    if (pg) deletePg(c, before, written);
                    else deleteSqlite(c, before, written);
                    c.run(pg ? "INSERT INTO archives (file, before, records, archived_at)"
                               " VALUES ($1, $2::timestamptz, $3, $4::timestamptz)"
                             : "INSERT INTO archives (file, before, records, archived_at) VALUES ($1, $2, $3, $4)",
                          {absolutePath(file), before, written.count, nowUtc()});
                    committing = true;
                });
            });
            if (pg) monthsReady_.clear();  // a dropped month is made again when needed
            else note = compactSqlite(c);
        });
    } catch (const StoreError &e) {
        // Rolled back: the store holds every record, the file is a copy.
        if (!committing) {
            unlink(file.c_str());
            throw;
        }
        throw StoreError(std::string(e.what()) + "; the archive " + file +
                         " is kept: the store may or may not hold its records now");
    }
    return note;
}

}  // namespace results
