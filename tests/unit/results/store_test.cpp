// The SQLite store: round trips, idempotent writes, refusing bad input and
// foreign files, crash safety, several writers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <thread>

#include "cancel/token.h"
#include "fixtures.h"
#include "results/archive_file.h"
#include "results/export.h"
#include "results/db.h"
#include "results/store.h"

using namespace results;

namespace {

// Runs fn in a child process that never returns into the test runner.
template <typename Fn>
pid_t child(Fn fn) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    try {
        fn();
    } catch (...) {
        _exit(3);
    }
    _exit(0);
}

void writeFile(const std::string &path, const std::string &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

class SqliteStore : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fixtures::tempDir();
        path = dir + "/results.sqlite";
    }
    void TearDown() override { fixtures::removeTree(dir); }

    // A query answered straight by SQLite, beside the store.
    std::string sql(const std::string &q) {
        sqlite3 *db = nullptr;
        std::string out;
        EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        sqlite3_exec(
            db, q.c_str(),
            [](void *o, int n, char **v, char **) {
                for (int i = 0; i < n; i++) *(std::string *)o += std::string(i ? "|" : "") + (v[i] ? v[i] : "NULL");
                *(std::string *)o += "\n";
                return 0;
            },
            &out, nullptr);
        sqlite3_close(db);
        return out;
    }

    std::string dir, path;
};

}  // namespace

TEST_F(SqliteStore, RecordsComeBackAsWritten) {
    auto store = Store::open(path);
    fixtures::Shape s;
    Record a = fixtures::makeRecord(s);
    s.serial = "SN0002", s.rxError = true, s.day = "2024-05-02";
    Record b = fixtures::makeRecord(s);
    b.metadata.clear();
    b.operatorName = "";
    b.steps[0].exchanges[0].reply->from = "";
    Record c = fixtures::makeRecord(s);
    fixtures::addCalStep(&c);
    WriteOutcome w = store->write(a);
    EXPECT_FALSE(w.spooled);
    EXPECT_EQ(w.where, path);
    store->write(b);
    store->write(c);

    for (const Record *r : {&a, &b, &c}) {
        std::optional<Record> back = store->load(r->id);
        ASSERT_TRUE(back);
        EXPECT_EQ(toJson(*back), toJson(*r));
        EXPECT_EQ(recordDigest(*back), recordDigest(*r));
    }
    EXPECT_FALSE(store->load(newRecordId()));
    // One row per value; its series' rows come back in order, columns named.
    EXPECT_EQ(sql("SELECT count(*) FROM series_values"), "35\n");
    EXPECT_EQ(sql("SELECT series, name, unit FROM series_columns WHERE column_index = 2"), "points|measured|dBm\n");

    EXPECT_EQ(sql("SELECT version FROM schema_version"), "3\n");
    EXPECT_EQ(sql("PRAGMA journal_mode"), "wal\n");
}

// A store of version 1 (before series): opened by the station or only for
// a report, it gains the series tables, keeps every record as it was (the
// same digests), and takes records with series.  Version 1 is this schema
// without the series tables.
TEST_F(SqliteStore, VersionOneStoreIsMigratedOnOpen) {
    for (bool reportOnly : {false, true}) {
        SCOPED_TRACE(reportOnly ? "report" : "station");
        path = dir + (reportOnly ? "/report.sqlite" : "/station.sqlite");
        std::vector<Record> old = fixtures::lineDataset();
        {
            auto store = Store::open(path);
            for (const Record &r : old) store->write(r);
        }
        sql("DROP VIEW series_points; DROP VIEW measurement_rows; DROP TABLE golden_checks; DROP TABLE archives;"
            " DROP INDEX records_by_time; DROP INDEX records_by_station;"
            " DROP TABLE series_values; DROP TABLE series_columns; UPDATE schema_version SET version = 1");
        ASSERT_EQ(sql("SELECT count(*) FROM sqlite_master WHERE name LIKE 'series%' OR name LIKE 'golden%'"), "0\n");
        OpenOptions o;
        o.mustExist = reportOnly;
        auto store = Store::open(path, o);
        EXPECT_EQ(sql("SELECT version FROM schema_version"), "3\n");
        for (const Record &r : old) {
            std::optional<Record> back = store->load(r.id);
            ASSERT_TRUE(back);
            EXPECT_EQ(recordDigest(*back), recordDigest(r));
        }
        EXPECT_EQ(store->yieldByPlanDay({}).size(), 4u);
        Record cal = fixtures::makeRecord();
        fixtures::addCalStep(&cal);
        EXPECT_FALSE(store->write(cal).spooled);
        EXPECT_EQ(toJson(*store->load(cal.id)), toJson(cal));
        store.reset();
        EXPECT_EQ(sql("SELECT count(*) FROM records"), std::to_string(old.size() + 1) + "\n");
    }
}

TEST_F(SqliteStore, SameRecordTwiceIsStoredOnce) {
    auto store = Store::open(path);
    Record r = fixtures::makeRecord();
    store->write(r);
    store->write(r);
    EXPECT_EQ(sql("SELECT count(*) FROM records"), "1\n");
    EXPECT_EQ(sql("SELECT count(*) FROM steps"), "4\n");

    Record other = r;
    other.steps[3].measurements[2].value = 7;
    EXPECT_THROW(store->write(other), StoreError);
    EXPECT_EQ(toJson(*store->load(r.id)), toJson(r));
}

TEST_F(SqliteStore, BadRecordsChangeNothing) {
    auto store = Store::open(path);
    Record r = fixtures::makeRecord();
    r.serial = "SN 0001";
    EXPECT_THROW(store->write(r), InvalidInput);
    r = fixtures::makeRecord();
    r.steps[2].measurements[0].value = 10;  // verdicts no longer match
    EXPECT_THROW(store->write(r), InvalidInput);
    EXPECT_EQ(sql("SELECT count(*) FROM records"), "0\n");
}

TEST_F(SqliteStore, RefusesWhatIsNotOurs) {
    // Report-only opening does not make a file.
    OpenOptions ro;
    ro.mustExist = true;
    EXPECT_THROW(Store::open(path, ro), StoreError);
    struct stat sb;
    EXPECT_NE(stat(path.c_str(), &sb), 0);

    // Another program's database.
    sql("CREATE TABLE customers (name TEXT)");
    try {
        Store::open(path);
        FAIL();
    } catch (const StoreError &e) {
        EXPECT_NE(std::string(e.what()).find("not an rfprobe results store"), std::string::npos) << e.what();
    }
    unlink(path.c_str());

    // A store from a newer rfprobe.
    Store::open(path)->write(fixtures::makeRecord());
    sql("UPDATE schema_version SET version = 4");
    try {
        Store::open(path);
        FAIL();
    } catch (const StoreError &e) {
        EXPECT_NE(std::string(e.what()).find("schema version 4, newer"), std::string::npos) << e.what();
    }
    unlink(path.c_str());

    // Not a database at all.
    FILE *f = fopen(path.c_str(), "w");
    fputs("plan text, not a database\n", f);
    fclose(f);
    EXPECT_THROW(Store::open(path), StoreError);
}

// A writer killed inside a record's transaction: the records committed
// before it are whole, the one it was writing is not there at all, and the
// store takes new records.
TEST_F(SqliteStore, KilledMidRecordLeavesEarlierRecordsWhole) {
    Store::open(path);  // schema in place before the child starts
    std::vector<Record> recs;
    for (int i = 0; i < 4; i++) {
        fixtures::Shape s;
        s.serial = "SN" + std::to_string(i), s.second = i;
        recs.push_back(fixtures::makeRecord(s));
    }
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    pid_t pid = child([&] {
        close(pipefd[0]);
        OpenOptions o;
        o.beforeCommit = [&](const Record &r) {
            if (r.id != recs[3].id) return;
            // Every row of the last record is written, nothing committed.
            (void)!write(pipefd[1], "x", 1);
            pause();
        };
        auto store = Store::open(path, o);
        for (const Record &r : recs) store->write(r);
    });
    close(pipefd[1]);
    char c;
    ssize_t got = read(pipefd[0], &c, 1);  // the child is inside the last record
    kill(pid, SIGKILL);
    int st;
    waitpid(pid, &st, 0);
    close(pipefd[0]);
    ASSERT_EQ(got, 1);
    ASSERT_TRUE(WIFSIGNALED(st));

    EXPECT_EQ(sql("PRAGMA integrity_check"), "ok\n");
    auto store = Store::open(path);
    for (int i = 0; i < 3; i++) {
        auto back = store->load(recs[i].id);
        ASSERT_TRUE(back) << i;
        EXPECT_EQ(toJson(*back), toJson(recs[i]));
    }
    EXPECT_FALSE(store->load(recs[3].id));
    EXPECT_EQ(sql("SELECT count(*) FROM steps"), "12\n");
    EXPECT_EQ(sql("SELECT count(*) FROM steps WHERE record_id NOT IN (SELECT record_id FROM records)"), "0\n");
    store->write(recs[3]);
    EXPECT_TRUE(store->load(recs[3].id));
}

// The same at whatever moment the kill lands: every record found is whole.
TEST_F(SqliteStore, KilledAtRandomMomentsNothingHalfWritten) {
    Store::open(path);
    srand(1060);
    for (int round = 0; round < 8; round++) {
        pid_t pid = child([&] {
            auto store = Store::open(path);
            for (int i = 0;; i++) {
                fixtures::Shape s;
                s.serial = "R" + std::to_string(round) + "-" + std::to_string(i);
                store->write(fixtures::makeRecord(s));
            }
        });
        usleep(20000 + rand() % 80000);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    EXPECT_EQ(sql("PRAGMA integrity_check"), "ok\n");
    auto store = Store::open(path);
    std::string ids = sql("SELECT record_id FROM records");
    EXPECT_GT(std::count(ids.begin(), ids.end(), '\n'), 8);
    for (size_t at = 0, end; (end = ids.find('\n', at)) != std::string::npos; at = end + 1) {
        auto r = store->load(ids.substr(at, end - at));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->steps.size(), 4u);
        EXPECT_EQ(r->steps[3].measurements.size(), 3u);
        EXPECT_NO_THROW(validateRecord(*r));
    }
}

// The units of a parallel run write to one file at the same time.
TEST_F(SqliteStore, SeveralWritersOneFile) {
    Store::open(path);
    auto shared = Store::open(path);
    std::vector<std::thread> units;
    for (int u = 0; u < 4; u++)
        units.emplace_back([&, u] {
            auto own = Store::open(path);
            for (int i = 0; i < 15; i++) {
                fixtures::Shape s;
                s.serial = "U" + std::to_string(u) + "-" + std::to_string(i);
                (i % 2 ? *own : *shared).write(fixtures::makeRecord(s));
            }
        });
    for (auto &t : units) t.join();
    EXPECT_EQ(sql("SELECT count(*), count(DISTINCT serial) FROM records"), "60|60\n");
}

// A record's identity follows its values, not the bytes of a JSON document:
// a store row whose digest an older rfprobe took over its own spelling of
// the record (other whitespace, other number spelling) is the same record,
// written again or synced from a spool that was filled before the upgrade.
TEST_F(SqliteStore, ARecordKeepsItsIdentityWhateverItsJsonSpelling) {
    auto respell = [](std::string s, const std::string &from, const std::string &to) {
        size_t p = s.find(from);
        EXPECT_NE(p, std::string::npos) << from;
        return p == std::string::npos ? s : s.replace(p, from.size(), to);
    };
    // Digests as an older rfprobe took them: the bare SHA-256 of its JSON.
    const std::function<std::string(const Record &)> legacy[] = {
        [](const Record &r) { return sha256Hex(toJson(r, true)); },  // other whitespace
        [&](const Record &r) {                                       // other numbers
            return sha256Hex(respell(respell(toJson(r, false), "\"value\":-372", "\"value\":-372.0"),
                                     "\"duration_s\":0.012", "\"duration_s\":1.2e-2"));
        },
    };
    Record r = fixtures::makeRecord();
    Record next = fixtures::makeRecord(fixtures::Shape{"SN0002"});
    std::string spool = dir + "/spool.sqlite";
    for (const auto &old : legacy) {
        for (const std::string &f : {path, spool}) unlink(f.c_str());
        OpenOptions o;
        o.spoolPath = spool;
        auto store = Store::open(path, o);
        store->write(r);
        sql("UPDATE records SET digest = '" + old(r) + "'");
        WriteOutcome again = store->write(r);
        EXPECT_FALSE(again.spooled) << again.reason;
        EXPECT_EQ(sql("SELECT count(*) FROM records"), "1\n");

        // A record spooled before the upgrade, under its old digest.
        bool away = true;
        o.beforeCommit = [&](const Record &) {
            if (away) away = false, throw StoreError("the store is away");
        };
        EXPECT_TRUE(Store::open(path, o)->write(next).spooled);
        std::swap(path, spool);
        sql("UPDATE records SET digest = '" + old(next) + "'");
        std::swap(path, spool);
        OpenOptions so;
        so.spoolPath = spool;
        SyncResult s = Store::open(path, so)->sync();
        EXPECT_EQ(s.uploaded, 1u);
        EXPECT_TRUE(s.errors.empty()) << s.errors[0];
        EXPECT_EQ(s.pending, 0u);
        EXPECT_EQ(sql("SELECT count(*) FROM records"), "2\n");
    }
    // Other content under the same id is still another record.
    Record other = r;
    other.steps[3].measurements[2].value = 7;
    EXPECT_THROW(Store::open(path)->write(other), StoreError);
}

// Statements end with their scope, a row callback that throws included, and
// a parameter is never dropped: one the SQL lacks, or one without a value,
// is an error.
TEST_F(SqliteStore, StatementsAreFinalizedAndEveryParameterIsUsed) {
    auto c = db::openSqlite(path, false);
    c->exec("CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (1), (2)");
    EXPECT_THROW(c->query("SELECT a FROM t", {}, [](const db::Row &) { throw std::runtime_error("stop"); }),
                 std::runtime_error);
    EXPECT_NO_THROW(c->exec("DROP TABLE t"));  // no statement still reads it
    c->exec("CREATE TABLE u (a INTEGER, b INTEGER)");
    struct Case {
        const char *sql;
        db::Params params;
    } bad[] = {
        {"INSERT INTO u (a) VALUES ($1)", {1, 2}},
        {"INSERT INTO u (a, b) VALUES ($1, $2)", {1}},
        {"INSERT INTO u (a, b) VALUES ($1, $3)", {1, 2, 3}},
    };
    for (const Case &k : bad) EXPECT_THROW(c->run(k.sql, k.params), db::Error) << k.sql;
    EXPECT_EQ(c->run("INSERT INTO u (a, b) VALUES ($2, $1)", {1, 2}), 1);
}

// Ctrl-C ends a wait for another connection's lock at once, with an error
// that says so: SQLite's own wait (30 s) and the retries of a statement
// that SQLite answered busy without waiting.  In a child: the process's
// token stays raised.
TEST_F(SqliteStore, CtrlCEndsTheWaitsForALock) {
    auto holder = db::openSqlite(path, false);
    holder->exec("CREATE TABLE t (x INTEGER)");
    holder->begin();
    holder->run("INSERT INTO t VALUES (1)", {});
    struct Case {
        const char *what;
        std::function<void(db::Connection &)> wait;
    } cases[] = {
        {"a transaction waiting for the lock", [](db::Connection &c) { db::transaction(c, [] {}); }},
        {"a busy statement retried",
         [](db::Connection &) { db::retryBusy([] { throw db::Error("t: database is locked", false, true); }); }},
    };
    for (const Case &c : cases) {
        pid_t pid = child([&] {
            auto waiter = db::openSqlite(path, false);
            std::thread([] {
                cancel::sleepFor(300, nullptr);
                cancel::process().raise();
            }).detach();
            int64_t t0 = cancel::nowMs();
            try {
                c.wait(*waiter);
            } catch (const db::Error &e) {
                bool said = std::string(e.what()).find("interrupted") != std::string::npos;
                _exit(!said ? 4 : cancel::nowMs() - t0 > 5000 ? 5 : 0);
            }
            _exit(6);
        });
        int st = 0;
        ASSERT_EQ(waitpid(pid, &st, 0), pid);
        EXPECT_TRUE(WIFEXITED(st)) << c.what;
        EXPECT_EQ(WEXITSTATUS(st), 0) << c.what << " (4: not said interrupted, 5: waited on, 6: no error)";
    }
    holder->exec("ROLLBACK");
}

// Archive: the records before the day go to the file with their digests,
// leave the store (the file shrinks), the lock-out still sees each port's
// newest check, and a report's range says so; restore brings them back,
// twice is a no-op.  A target that exists is refused and changes nothing.
TEST_F(SqliteStore, ArchiveAndRestoreRoundTrip) {
    auto store = Store::open(path);
    auto records = fixtures::archiveDataset();
    for (const Record &r : records) ASSERT_FALSE(store->write(r).spooled);
    int64_t sizeBefore = store->sizeBytes();
    std::string file = dir + "/old.jsonl.zst";
    EXPECT_EQ(store->archive("2024-01-01", file).records, 0);  // nothing before it: no file, no note
    EXPECT_NE(access(file.c_str(), F_OK), 0);
    EXPECT_TRUE(store->archives().empty());
    ArchiveResult res = store->archive("2024-03-10", file);
    EXPECT_EQ(res.records, 4);
    std::vector<std::string> want;
    for (size_t i = 0; i < 4; i++) want.push_back(recordDigest(records[i]));
    EXPECT_EQ(fixtures::archiveDigests(file), want);
    for (size_t i = 0; i < records.size(); i++) EXPECT_EQ(store->load(records[i].id).has_value(), i >= 4) << i;
    EXPECT_EQ(sql("SELECT count(*) FROM series_values"), "0\n");
    EXPECT_LT(res.storeBytes, sizeBefore);
    EXPECT_EQ(store->lastGoldenCheck("line3-st1", "3")->recordId, records[3].id);
    EXPECT_EQ(store->lastGoldenCheck("line3-st1", "4")->recordId, records[2].id);
    EXPECT_EQ(sql("SELECT count(*) FROM golden_checks"), "2\n");
    ASSERT_EQ(store->archives().size(), 1u);
    EXPECT_EQ(store->archives()[0].before, "2024-03-10T00:00:00.000Z");
    RecordFilter f;
    f.since = "2024-03-09";
    EXPECT_EQ(store->archivesOverlapping(f).size(), 1u);
    f.since = "2024-03-10";
    EXPECT_EQ(store->archivesOverlapping(f).size(), 0u);

    EXPECT_THROW(store->archive("2024-04-01", file), StoreError);
    EXPECT_TRUE(store->load(records[4].id));
    EXPECT_EQ(store->archives().size(), 1u);

    RestoreResult back = store->restore(file);
    EXPECT_EQ(back.restored, 4);
    EXPECT_TRUE(back.forgotten);
    EXPECT_TRUE(store->archives().empty());
    for (const Record &r : records) EXPECT_EQ(recordDigest(*store->load(r.id)), recordDigest(r));
    EXPECT_EQ(store->lastGoldenCheck("line3-st1", "3")->recordId, records[3].id);
    EXPECT_EQ(sql("SELECT count(*) FROM golden_checks"), "2\n");
    back = store->restore(file);
    EXPECT_EQ(back.restored, 0);
    EXPECT_EQ(back.alreadyThere, 4);
}

// An archive that is cut short, corrupted or holds a record that breaks
// the rules is refused whole, with the file in the message: nothing of it
// is written, not even its sound first lines.
TEST_F(SqliteStore, RestoreRefusesABrokenArchive) {
    auto records = fixtures::archiveDataset();
    std::string good = dir + "/good.zst";
    {
        ArchiveWriter w(good);
        for (const Record &r : records) w.line(toJson(r, false));
        w.finish();
    }
    std::string bytes;
    {
        FILE *f = fopen(good.c_str(), "rb");
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) bytes.append(buf, n);
        fclose(f);
    }
    Record bad = records[1];
    bad.steps[0].verdict = Verdict::Fail;  // disagrees with its data
    struct Case {
        const char *name;
        std::function<void(const std::string &)> make;
        const char *says;
    } cases[] = {
        {"cut short", [&](const std::string &p) { writeFile(p, bytes.substr(0, bytes.size() - 9)); }, "ends inside"},
        {"a byte changed", [&](const std::string &p) {
             std::string b = bytes;
             b[b.size() / 2] ^= 0x20;
             writeFile(p, b);
         }, "nothing restored"},  // the stream's or a line's fault, wherever the byte fell
        {"not an archive", [&](const std::string &p) { writeFile(p, toJson(records[0], false) + "\n"); },
         "not a complete rfprobe archive"},
        {"a bad record", [&](const std::string &p) {
             ArchiveWriter w(p);
             w.line(toJson(records[0], false));
             w.line(toJson(bad, false));
             w.finish();
         }, "line 2 is not a sound record"},
    };
    auto store = Store::open(path);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string p = dir + "/" + std::to_string(&c - cases) + ".zst";
        c.make(p);
        try {
            store->restore(p);
            ADD_FAILURE() << "restored";
        } catch (const InvalidInput &e) {
            EXPECT_NE(std::string(e.what()).find(p), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
        EXPECT_EQ(sql("SELECT count(*) FROM records"), "0\n");
    }
    // A sound archive whose record the store holds with other content:
    // the store's error, not the file's.
    Record other = records[2];
    other.operatorName = "someone else";
    store->write(other);
    try {
        store->restore(good);
        ADD_FAILURE() << "restored";
    } catch (const InvalidInput &e) {
        ADD_FAILURE() << e.what();
    } catch (const StoreError &e) {
        EXPECT_NE(std::string(e.what()).find("different content"), std::string::npos) << e.what();
    }
}
