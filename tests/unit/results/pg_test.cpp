// The PostgreSQL store on a real server: the same records and reports as
// SQLite, the spool while the server is away, and sync uploading each
// record once.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <thread>

#include "cancel/token.h"
#include "fixtures.h"
#include "pg_harness.h"
#include "results/db.h"
#include "results/export.h"
#include "results/report.h"
#include "results/rows.h"

using namespace results;

namespace {

class Pg : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_POSTGRES();
        dir = fixtures::tempDir();
        spool = dir + "/spool.sqlite";
        // One database per test, named after it.
        db = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char &c : db) c = (char)tolower((unsigned char)c);
        url = PgServer::shared().url(db);
    }
    void TearDown() override {
        if (serverStopped) PgServer::shared().start();
        if (!dir.empty()) fixtures::removeTree(dir);
    }

    std::unique_ptr<Store> open() {
        OpenOptions o;
        o.spoolPath = spool;
        return Store::open(url, o);
    }
    // A URL that parses but reaches nothing: a database that is not there.
    std::string nowhere() {
        std::string u = url;
        return u.replace(u.find("/" + db + "?"), db.size() + 1, "/nosuchdb");
    }
    // Records on the server (or of filter f), by the yield report's counts.
    static size_t recordsIn(Store &s, const RecordFilter &f = RecordFilter()) {
        size_t n = 0;
        for (const YieldRow &y : s.yieldByPlanDay(f)) n += (size_t)y.records;
        return n;
    }
    size_t onServer() { return recordsIn(*Store::open(url)); }
    void stopServer() {
        PgServer::shared().stop();
        serverStopped = true;
    }
    void startServer() {
        PgServer::shared().start();
        serverStopped = false;
    }

    std::string dir, spool, db, url;
    bool serverStopped = false;
};

}  // namespace

TEST_F(Pg, RecordsComeBackAsWritten) {
    auto store = open();
    auto records = fixtures::lineDataset();
    fixtures::addCalStep(&records[1]);  // its points as a series
    for (const Record &r : records) EXPECT_FALSE(store->write(r).spooled);
    for (const Record &r : records) {
        auto back = store->load(r.id);
        ASSERT_TRUE(back);
        EXPECT_EQ(toJson(*back), toJson(r));
        EXPECT_EQ(recordDigest(*back), recordDigest(r));
    }
    store->write(records[0]);  // again: no-op
    RecordFilter f;
    f.serial = "SN1";
    EXPECT_EQ(recordsIn(*store, f), 2u);
    EXPECT_EQ(onServer(), records.size());
    EXPECT_EQ(store->pendingCount(), 0u);
}

// A database of an older layout (version 1: a row per value, no series;
// version 2: with series) is migrated by the first station that connects:
// its records come back with the digests they were stored with, golden
// checks are found by the lock-out, and new records go in.
TEST_F(Pg, OlderDatabasesAreMigrated) {
    for (int version : {1, 2}) {
        SCOPED_TRACE(version);
        auto records = fixtures::lineDataset();
        if (version == 2) fixtures::addCalStep(&records[1]);
        records[2].metadata[kRecordKindKey] = kGoldenKind;
        records[2].metadata[kFixturePortKey] = "3";
        std::string name = db + std::to_string(version);
        std::string at = PgServer::shared().url(name);
        {
            auto c = db::openPostgres(at);
            db::transaction(*c, [&] {
                c->exec(rowsSchema(db::Dialect::Postgres, version));
                c->run("INSERT INTO schema_version (version) VALUES ($1)", {version});
                for (const Record &r : records) insertRecordRows(*c, r, recordDigest(r));
            });
        }
        OpenOptions o;
        o.spoolPath = spool;
        auto store = Store::open(at, o);
        Record cal = fixtures::makeRecord();
        fixtures::addCalStep(&cal);
        EXPECT_FALSE(store->write(cal).spooled);
        records.push_back(cal);
        for (const Record &r : records) {
            auto back = store->load(r.id);
            ASSERT_TRUE(back);
            EXPECT_EQ(toJson(*back), toJson(r));
        }
        auto golden = store->lastGoldenCheck(records[2].station, "3");
        ASSERT_TRUE(golden);
        EXPECT_EQ(golden->recordId, records[2].id);
        int64_t v = 0;
        db::openPostgres(at)->query("SELECT max(version) FROM schema_version", {},
                                    [&](const db::Row &row) { v = row.integer(0); });
        EXPECT_EQ(v, kSchemaVersion);
    }
}

TEST_F(Pg, ReportsMatchSqlite) {
    auto pg = open();
    auto lite = Store::open(dir + "/results.sqlite");
    for (const Record &r : fixtures::lineDataset()) {
        pg->write(r);
        lite->write(r);
    }
    for (const RecordFilter &f : {RecordFilter(), RecordFilter{"factory.plan", "", "", "2024-05-02", ""}}) {
        EXPECT_EQ(formatReport(*pg, f), formatReport(*lite, f));
        std::ostringstream a, b;
        exportCsv(*pg, f, a);
        exportCsv(*lite, f, b);
        EXPECT_EQ(a.str(), b.str());
    }
}

// The whole story: a record written while the server is up, two
// while it is down, one while it goes away mid-transaction; the server comes
// back; sync uploads the three, once.
TEST_F(Pg, SpoolWhileServerIsAwaySyncOnce) {
    auto records = fixtures::lineDataset();
    fixtures::addCalStep(&records[1]);  // spooled: its series go through the outbox
    auto store = open();
    EXPECT_FALSE(store->write(records[0]).spooled);

    stopServer();
    WriteOutcome w = store->write(records[1]);
    EXPECT_TRUE(w.spooled);
    EXPECT_EQ(w.where, spool);
    EXPECT_NE(w.reason.find("PostgreSQL"), std::string::npos) << w.reason;
    store->write(records[2]);
    EXPECT_EQ(store->pendingCount(), 2u);
    EXPECT_THROW(store->sync(), StoreError);
    EXPECT_THROW(recordsIn(*store), StoreError);
    EXPECT_EQ(store->pendingCount(), 2u);

    // The server goes away after the record's rows, before COMMIT.
    startServer();
    OpenOptions o;
    o.spoolPath = spool;
    o.beforeCommit = [&](const Record &r) {
        if (r.id == records[3].id && serverStopped == false) stopServer();
    };
    EXPECT_TRUE(Store::open(url, o)->write(records[3]).spooled);
    startServer();
    EXPECT_EQ(onServer(), 1u);

    SyncResult s = store->sync();
    EXPECT_EQ(s.uploaded, 3u);
    EXPECT_EQ(s.alreadyThere, 0u);
    EXPECT_EQ(s.pending, 0u);
    EXPECT_TRUE(s.errors.empty()) << s.errors[0];
    EXPECT_EQ(onServer(), 4u);
    for (int i = 0; i < 4; i++) {
        auto back = store->load(records[i].id);
        ASSERT_TRUE(back) << records[i].id;
        EXPECT_EQ(toJson(*back), toJson(records[i]));
    }

    // Again, from this store and from a new one (another rfprobe run).
    s = store->sync();
    EXPECT_EQ(s.uploaded + s.alreadyThere + s.pending, 0u);
    s = open()->sync();
    EXPECT_EQ(s.uploaded + s.alreadyThere + s.pending, 0u);
    EXPECT_EQ(onServer(), 4u);
}

// A sync that uploaded a record but died before marking it in the spool:
// the next sync finds it on the server and only marks it.
TEST_F(Pg, InterruptedSyncIsNotCountedTwice) {
    Record r = fixtures::makeRecord();
    OpenOptions o;
    o.spoolPath = spool;
    EXPECT_TRUE(Store::open(nowhere(), o)->write(r).spooled);
    open()->write(r);  // as if the first sync got this far
    SyncResult s = open()->sync();
    EXPECT_EQ(s.uploaded, 0u);
    EXPECT_EQ(s.alreadyThere, 1u);
    EXPECT_EQ(s.pending, 0u);
    EXPECT_EQ(onServer(), 1u);
}

// Another record under an id the server already has is reported and kept.
TEST_F(Pg, ConflictingRecordStaysInSpool) {
    Record r = fixtures::makeRecord();
    open()->write(r);
    Record other = r;
    other.steps[3].measurements[2].value = 5;
    OpenOptions o;
    o.spoolPath = spool;
    auto away = Store::open(nowhere(), o);
    EXPECT_TRUE(away->write(other).spooled);
    EXPECT_TRUE(open()->write(other).spooled);  // the server refuses it: spooled too
    SyncResult s = open()->sync();
    EXPECT_EQ(s.uploaded, 0u);
    EXPECT_EQ(s.pending, 1u);
    ASSERT_EQ(s.errors.size(), 1u);
    EXPECT_NE(s.errors[0].find("different content"), std::string::npos) << s.errors[0];
    auto back = open()->load(r.id);
    ASSERT_TRUE(back);
    EXPECT_EQ(toJson(*back), toJson(r));
}

TEST_F(Pg, NoSpoolNoSilentLoss) {
    auto store = Store::open(nowhere());
    try {
        store->write(fixtures::makeRecord());
        FAIL();
    } catch (const StoreError &e) {
        EXPECT_NE(std::string(e.what()).find("no spool file"), std::string::npos) << e.what();
    }
}

// Stations of a line opening a new database at the same moment.
TEST_F(Pg, StationsCreateTheSchemaTogether) {
    std::vector<std::thread> stations;
    for (int st = 0; st < 4; st++)
        stations.emplace_back([&, st] {
            OpenOptions o;
            o.spoolPath = dir + "/spool" + std::to_string(st) + ".sqlite";
            auto store = Store::open(url, o);
            for (int i = 0; i < 10; i++) {
                fixtures::Shape s;
                s.serial = "S" + std::to_string(st) + "-" + std::to_string(i);
                EXPECT_FALSE(store->write(fixtures::makeRecord(s)).spooled);
            }
        });
    for (auto &t : stations) t.join();
    EXPECT_EQ(onServer(), 40u);
    auto c = db::openPostgres(url);
    std::string versions;
    c->query("SELECT version FROM schema_version", {}, [&](const db::Row &r) { versions += r.text(0) + ";"; });
    EXPECT_EQ(versions, std::to_string(kSchemaVersion) + ";");
}

// A station's one connection stays usable whatever its transactions meet:
// a setting the server refuses after BEGIN is rolled back (else every later
// record would meet an aborted transaction), and the limits a transaction
// sets end with it (behind a pooler the session goes to another client).
TEST_F(Pg, TransactionsLeaveTheSessionClean) {
    struct Case {
        const char *what;
        int statementMs;
        bool refused;
    } cases[] = {
        {"limits the server takes", 4321, false},
        {"a setting the server refuses", -1, true},
    };
    for (const Case &c : cases) {
        db::PgLimits l;
        l.statementMs = c.statementMs;
        auto conn = db::openPostgres(url, l);
        bool threw = false;
        try {
            db::transaction(*conn, [&] { conn->run("SELECT 1", {}); });
        } catch (const db::Error &e) {
            threw = true;
            EXPECT_NE(std::string(e.what()).find("statement_timeout"), std::string::npos) << e.what();
        }
        EXPECT_EQ(threw, c.refused) << c.what;
        // What the session holds now, outside any transaction.
        ASSERT_NO_THROW(conn->exec(
            "CREATE TEMP TABLE session AS SELECT current_setting('statement_timeout') AS st, "
            "current_setting('lock_timeout') AS lt, current_setting('idle_in_transaction_session_timeout') AS it"))
            << c.what;
        if (c.refused) continue;  // its own transactions cannot read it back
        std::string held;
        conn->query("SELECT st || ' ' || lt || ' ' || it FROM session", {},
                    [&](const db::Row &r) { held = r.text(0); });
        EXPECT_EQ(held, "0 0 0") << c.what;
    }
}

// Ctrl-C ends a report's wait for the server (a lock held by another
// session here; its own limit is long) at once, and says so.  In a
// child: the process's token stays raised.
TEST_F(Pg, CtrlCEndsAReportsWait) {
    auto holder = db::openPostgres(url);
    holder->exec("CREATE TABLE IF NOT EXISTS held (x int)");
    holder->exec("BEGIN; LOCK TABLE held IN ACCESS EXCLUSIVE MODE");
    pid_t pid = fork();
    if (pid == 0) {
        db::PgLimits l;
        l.statementMs = l.lockMs = 20000;  // far beyond the second Ctrl-C may take
        l.answerMs = 25000;
        auto c = db::openPostgres(url, l);
        std::thread([] {
            cancel::sleepFor(300, nullptr);
            cancel::process().raise();
        }).detach();
        int64_t t0 = cancel::nowMs();
        try {
            c->query("SELECT count(*) FROM held", {}, [](const db::Row &) {});
        } catch (const db::Error &e) {
            bool said = std::string(e.what()) == "PostgreSQL: interrupted";
            _exit(!said ? 4 : cancel::nowMs() - t0 > 5000 ? 5 : 0);
        }
        _exit(6);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0) << "4: not said interrupted, 5: waited on, 6: no error";
    holder->exec("ROLLBACK");
}

// Archive on PostgreSQL: the months wholly before the day go as partitions
// (all four tables), the month it falls in loses its rows before it; the
// file holds the records with their digests, the lock-out still sees each
// port's newest check.  Restore makes the months again and brings every
// record back as it was.
TEST_F(Pg, ArchiveDropsWholeMonthsAndRestoreBringsThemBack) {
    auto store = open();
    auto records = fixtures::archiveDataset();
    for (const Record &r : records) ASSERT_FALSE(store->write(r).spooled);
    auto c = db::openPostgres(url);
    auto tables = [&](const std::string &month) {
        int64_t n = 0;
        for (const char *t : {"records", "record_metadata", "steps", "series"})
            c->query(std::string("SELECT to_regclass('") + t + "_y2024m" + month + "') IS NOT NULL", {},
                     [&](const db::Row &row) { n += row.text(0) == "t"; });
        return n;
    };
    ASSERT_EQ(tables("01") + tables("02") + tables("03"), 12);
    std::string file = dir + "/old.jsonl.zst";
    ArchiveResult res = store->archive("2024-03-10", file);
    EXPECT_EQ(res.records, 4);
    EXPECT_GT(res.storeBytes, 0);
    std::vector<std::string> want;
    for (size_t i = 0; i < 4; i++) want.push_back(recordDigest(records[i]));
    EXPECT_EQ(fixtures::archiveDigests(file), want);
    EXPECT_EQ(tables("01") + tables("02"), 0);
    EXPECT_EQ(tables("03"), 4);
    for (size_t i = 0; i < records.size(); i++) EXPECT_EQ(store->load(records[i].id).has_value(), i >= 4) << i;
    int64_t steps = -1;
    c->query("SELECT count(*) FROM steps WHERE record_started < '2024-03-10'", {},
             [&](const db::Row &row) { steps = row.integer(0); });
    EXPECT_EQ(steps, 0);
    EXPECT_EQ(store->lastGoldenCheck("line3-st1", "3")->recordId, records[3].id);
    EXPECT_EQ(store->lastGoldenCheck("line3-st1", "4")->recordId, records[2].id);
    ASSERT_EQ(store->archives().size(), 1u);
    EXPECT_EQ(store->archives()[0].before, "2024-03-10T00:00:00.000Z");
    EXPECT_THROW(store->archive("2024-04-01", file), StoreError);
    EXPECT_TRUE(store->load(records[4].id));

    RestoreResult back = open()->restore(file);
    EXPECT_EQ(back.restored, 4);
    EXPECT_TRUE(back.forgotten);
    EXPECT_EQ(tables("01") + tables("02"), 8);
    for (const Record &r : records) {
        auto loaded = store->load(r.id);
        ASSERT_TRUE(loaded);
        EXPECT_EQ(recordDigest(*loaded), recordDigest(r));
    }
    EXPECT_EQ(store->lastGoldenCheck("line3-st1", "3")->recordId, records[3].id);
    EXPECT_EQ(store->restore(file).alreadyThere, 4);
}
