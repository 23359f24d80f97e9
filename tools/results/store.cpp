// The store: a pool of connections, writing with the outbox behind it,
// reading, and sync from the outbox.
#include "results/store.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

#include "results/rows.h"

namespace results {

using db::Connection;
using db::Row;

std::string absolutePath(const std::string &path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    char buf[PATH_MAX];
    if (!realpath(dir.c_str(), buf)) return path;
    std::string d = buf;
    return d == "/" ? "/" + name : d + "/" + name;
}

namespace {

// The store cannot be reached now (PostgreSQL: no connection, or it was
// lost); a sync stops at it.
struct Unreachable : StoreError {
    using StoreError::StoreError;
};

bool fileExists(const std::string &path) {
    struct stat sb;
    return stat(path.c_str(), &sb) == 0;
}

bool sameFile(const std::string &a, const std::string &b) {
    struct stat sa, sb;
    if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    return absolutePath(a) == absolutePath(b);
}

}  // namespace

Store::Store(StoreUrl url, OpenOptions opts) : url_(std::move(url)), opts_(std::move(opts)) {}
Store::~Store() = default;

std::unique_ptr<Store> Store::open(const std::string &url, const OpenOptions &opts) {
    StoreUrl u = parseStoreUrl(url);
    std::unique_ptr<Store> s(new Store(u, opts));
    if (u.kind == StoreKind::Postgres) return s;
    if (!opts.spoolPath.empty() && sameFile(u.path, opts.spoolPath))
        throw StoreError("the spool " + opts.spoolPath + " is the store " + u.path +
                         " itself: give the spool another file");
    // What the file is, checked now: a file that is not a results store is
    // refused before anything is sent.  A store that cannot be read or
    // written now is not refused when there is an outbox to write to.
    try {
        s->idle_.push_back(s->openConnection(!opts.mustExist));
    } catch (const db::Error &e) {
        if (opts.mustExist || opts.spoolPath.empty()) throw StoreError(e.what());
    }
    return s;
}

std::unique_ptr<Connection> Store::openConnection(bool mayCreate) {
    std::unique_ptr<Connection> c;
    if (url_.kind == StoreKind::Sqlite) {
        c = db::openSqlite(url_.path, opts_.mustExist);
        prepareSqlite(*c, url_.path, mayCreate);
        if (!opts_.flushToDisk) c->exec("PRAGMA synchronous=OFF");
    } else {
        db::PgLimits l;
        l.connectSeconds = opts_.connectSeconds;
        l.statementMs = opts_.statementMs;
        l.lockMs = std::min(opts_.lockMs, opts_.statementMs);
        l.idleInTransactionMs = opts_.idleInTransactionMs;
        // The server ends a statement first and says why; only a server
        // that says nothing at all meets this deadline.
        l.answerMs = std::max(opts_.answerMs, opts_.statementMs + 5000);
        c = db::openPostgres(url_.conninfo, l);
    }
    return c;
}

void Store::withConnection(const std::function<void(Connection &)> &fn) {
    if (url_.kind == StoreKind::Postgres) return withServer(fn);
    // The pool's lock is held only to take a connection and to give it
    // back, never while the database works.
    struct Lease {
        Store *store;
        std::unique_ptr<Connection> c;
        ~Lease() {
            if (!c) return;
            std::lock_guard<std::mutex> held(store->mu_);
            store->idle_.push_back(std::move(c));
        }
    } lease{this, nullptr};
    {
        std::lock_guard<std::mutex> held(mu_);
        if (!idle_.empty()) {
            lease.c = std::move(idle_.back());
            idle_.pop_back();
        }
    }
    try {
        if (!lease.c) lease.c = openConnection(!opts_.mustExist);
        fn(*lease.c);
    } catch (const db::Error &e) {
        throw StoreError(e.what());
    }
}

// A server pays for every connection (a process each, out of a few hundred
// at most), so a station holds one at most, and only while some unit uses
// it or waits for it: the units of a process take turns (a record takes
// milliseconds), and the last one gives it back.  The schema is checked on
// the first connection of the process, not again.
void Store::withServer(const std::function<void(Connection &)> &fn) {
    int64_t lostBefore;
    {
        std::lock_guard<std::mutex> held(mu_);
        serverUsers_++;
        lostBefore = serverLost_;
    }
    std::unique_lock<std::mutex> turn(serverTurn_);
    struct Leave {
        Store *store;
        ~Leave() {
            std::lock_guard<std::mutex> held(store->mu_);
            if (--store->serverUsers_ == 0) store->server_.reset();
        }
    } leave{this};
    // The server stopped answering the unit before this one: waiting for
    // it all over again would hold the units one after another.
    bool lostMeanwhile;
    {
        std::lock_guard<std::mutex> held(mu_);
        lostMeanwhile = serverLost_ != lostBefore;
    }
    if (lostMeanwhile)
        throw Unreachable("cannot use " + url_.display + ": the server was lost a moment ago");
    try {
        if (!server_) server_ = openConnection(true);
        if (!schemaChecked_) {
            preparePostgres(*server_, url_.display);
            schemaChecked_ = true;
            // This month's partitions, and next month's in its last week,
            // before any record waits for them.
            int64_t now = (int64_t)time(nullptr) * 1000;
            prepareMonth(*server_, formatUtc(now));
            prepareMonth(*server_, formatUtc(now + 7 * 86400000LL));
        }
        if (opts_.readOnly) server_->readOnly();
        fn(*server_);
    } catch (const db::Error &e) {
        if (!server_ || e.connectionLost) {
            server_.reset();
            std::lock_guard<std::mutex> held(mu_);
            serverLost_++;
            throw Unreachable("cannot use " + url_.display + ": " + e.what());
        }
        throw StoreError(e.what());
    }
}

Store::KeepConnection::KeepConnection(Store &s) : store_(s) {
    std::lock_guard<std::mutex> held(store_.mu_);
    store_.serverUsers_++;
}

Store::KeepConnection::~KeepConnection() {
    std::lock_guard<std::mutex> turn(store_.serverTurn_);
    std::lock_guard<std::mutex> held(store_.mu_);
    if (--store_.serverUsers_ == 0) store_.server_.reset();
}

void Store::prepareMonth(Connection &c, const std::string &startedAt) {
    if (c.dialect() != db::Dialect::Postgres) return;
    std::string month = startedAt.substr(0, 7);
    if (std::find(monthsReady_.begin(), monthsReady_.end(), month) != monthsReady_.end()) return;
    ensureMonth(c, startedAt);
    monthsReady_.push_back(month);
}

void Store::writeHere(const Record &r, const std::vector<BusMessage> &messages) {
    withConnection([&](Connection &c) {
        prepareMonth(c, r.startedAt);
        db::retryBusy([&] {
            db::transaction(c, [&] {
                if (insertRecord(c, r)) queueBus(c, messages);
                if (opts_.beforeCommit) opts_.beforeCommit(r);
            });
        });
    });
}

WriteOutcome Store::write(const Record &r) { return write(r, {}); }

WriteOutcome Store::write(const Record &r, const std::vector<BusMessage> &messages) {
    validateRecord(r);
    WriteOutcome out;
    out.where = url_.display;
    std::string reason;
    try {
        writeHere(r, messages);
        return out;
    } catch (const StoreError &e) {
        reason = e.what();
    }
    keepInOutbox(r, outboxTarget(), reason, messages);
    out.spooled = true;
    out.where = opts_.spoolPath;
    out.reason = reason;
    return out;
}

std::string Store::outboxTarget() const {
    return url_.kind == StoreKind::Postgres ? "postgresql" : absolutePath(url_.path);
}

Store &Store::outbox() {
    std::lock_guard<std::mutex> held(mu_);
    if (!outbox_) {
        OpenOptions o;
        o.beforeCommit = opts_.beforeCommit;
        outbox_ = Store::open(opts_.spoolPath, o);
    }
    return *outbox_;
}

void Store::keepInOutbox(const Record &r, const std::string &target, const std::string &reason,
                         const std::vector<BusMessage> &messages) {
    if (opts_.spoolPath.empty())
        throw StoreError("record " + r.id + " could not be stored (" + reason + ") and no spool file is set");
    try {
        outbox().withConnection([&](Connection &c) {
            db::retryBusy([&] {
                db::transaction(c, [&] {
                    if (insertRecord(c, r)) queueBus(c, messages);
                    c.run("INSERT INTO spool (record_id, spooled_at, reason, target) VALUES ($1, $2, $3, $4)"
                          " ON CONFLICT (record_id) DO NOTHING",
                          {r.id, nowUtc(), reason, target});
                    if (opts_.beforeCommit) opts_.beforeCommit(r);
                });
            });
        });
    } catch (const std::exception &e) {
        throw StoreError("record " + r.id + " could not be stored (" + reason + ") nor spooled: " + e.what());
    }
}

std::optional<Record> Store::load(const std::string &id) {
    std::optional<Record> r;
    withConnection([&](Connection &c) { r = loadRecord(c, id); });
    return r;
}

namespace {

// The outbox rows that wait for target: rows without a target are from an
// rfprobe that spooled for PostgreSQL only.
std::string waitingFor(const std::string &target) {
    return target == "postgresql" ? "(s.target IS NULL OR s.target = $1)" : "s.target = $1";
}

}  // namespace

size_t Store::pendingCount() {
    if (opts_.spoolPath.empty() || !fileExists(opts_.spoolPath)) return 0;
    size_t n = 0;
    std::string target = outboxTarget();
    outbox().withConnection([&](Connection &c) {
        c.query("SELECT count(*) FROM spool s WHERE s.uploaded_at IS NULL AND " + waitingFor(target), {target},
                [&](const Row &row) { n = (size_t)row.integer(0); });
    });
    return n;
}

SyncResult Store::sync() {
    SyncResult res;
    if (opts_.spoolPath.empty()) throw StoreError("sync: no spool file is set");
    if (!fileExists(opts_.spoolPath)) return res;  // nothing was ever spooled
    Store &o = outbox();
    KeepConnection keep(*this);  // one connection for the whole upload
    std::string target = outboxTarget();
    std::vector<std::pair<std::string, std::string>> waiting;  // id, digest
    o.withConnection([&](Connection &c) {
        c.query("SELECT s.record_id, r.digest FROM spool s JOIN records r ON r.record_id = s.record_id"
                " WHERE s.uploaded_at IS NULL AND " + waitingFor(target) + " ORDER BY s.spooled_at, s.rowid",
                {target}, [&](const Row &row) { waiting.emplace_back(row.text(0), row.text(1)); });
    });
    if (!waiting.empty()) withConnection([](Connection &) {});  // Unreachable: nothing to do now
    for (const auto &w : waiting) {
        const std::string &id = w.first;
        std::optional<Record> r;
        try {
            r = o.load(id);
        } catch (const StoreError &e) {
            res.errors.push_back(id + ": cannot read it from the spool: " + e.what());
            continue;
        }
        // The spool's copy must still be the record that was written.  A
        // digest of an older rfprobe cannot be computed again: the record
        // is taken as stored.
        if (!r || (isCurrentDigest(w.second) && recordDigest(*r) != w.second)) {
            res.errors.push_back(id + ": the spool's copy does not match its digest; left in the spool");
            continue;
        }
        bool inserted = false;
        try {
            withConnection([&](Connection &c) {
                prepareMonth(c, r->startedAt);
                db::retryBusy([&] { db::transaction(c, [&] { inserted = insertRecord(c, *r); }); });
            });
        } catch (const Unreachable &e) {
            res.errors.push_back(id + ": " + e.what());
            break;
        } catch (const StoreError &e) {
            res.errors.push_back(id + ": " + e.what());
            continue;
        }
        // The store has it now.  If marking fails or we are killed here,
        // the next sync finds it there and only marks it.
        try {
            o.withConnection([&](Connection &c) {
                c.run("UPDATE spool SET uploaded_at = $1 WHERE record_id = $2", {nowUtc(), id});
            });
        } catch (const StoreError &e) {
            res.errors.push_back(id + ": stored, but not marked in the spool: " + e.what());
        }
        (inserted ? res.uploaded : res.alreadyThere)++;
    }
    // What the store has is pruned from the outbox (with its spool row):
    // an outbox holds only what still waits.
    try {
        o.withConnection([&](Connection &c) {
            db::retryBusy([&] {
                c.run("DELETE FROM records WHERE record_id IN"
                      " (SELECT record_id FROM spool WHERE uploaded_at IS NOT NULL)", {});
            });
        });
    } catch (const StoreError &e) {
        res.errors.push_back(std::string("pruning the outbox: ") + e.what());
    }
    try {
        res.pending = pendingCount();
    } catch (const StoreError &e) {
        res.errors.push_back(std::string("counting what is left: ") + e.what());
    }
    return res;
}

}  // namespace results
