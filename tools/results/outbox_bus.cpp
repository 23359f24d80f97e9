// The bus outbox: messages for the factory's bus, queued with their record
// in its transaction and dropped once the broker took them (store.h).
#include <sys/stat.h>

#include <algorithm>

#include "results/db.h"
#include "results/store.h"

namespace results {

using db::Connection;
using db::Row;

namespace {

const char kColumns[] = "seq, message_id, station, record_id, name, body, queued_at, attempts, last_error";

BusMessage readMessage(const Row &r, bool inSpool) {
    BusMessage m;
    m.seq = r.integer(0);
    m.id = r.text(1);
    m.station = r.text(2);
    m.recordId = r.text(3);
    m.name = r.text(4);
    m.body = r.text(5);
    m.queuedAt = r.text(6);
    m.attempts = (int)r.integer(7);
    if (!r.isNull(8)) m.lastError = r.text(8);
    m.inSpool = inSpool;
    return m;
}

void readWaiting(Connection &c, const std::string &station, size_t limit, bool inSpool,
                 std::vector<BusMessage> *out) {
    std::string sql = std::string("SELECT ") + kColumns + " FROM bus_outbox";
    db::Params p;
    if (!station.empty()) {
        sql += " WHERE station = $1";
        p.push_back(station);
    }
    sql += " ORDER BY seq LIMIT " + std::to_string(limit);
    c.query(sql, p, [&](const Row &r) { out->push_back(readMessage(r, inSpool)); });
}

bool exists(const std::string &path) {
    struct stat sb;
    return !path.empty() && stat(path.c_str(), &sb) == 0;
}

}  // namespace

void Store::queueBus(Connection &c, const std::vector<BusMessage> &messages) {
    std::string now = nowUtc();
    for (const BusMessage &m : messages)
        c.run("INSERT INTO bus_outbox (message_id, station, record_id, name, body, queued_at)"
              " VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT (message_id) DO NOTHING",
              {m.id, m.station, m.recordId, m.name, m.body, now});
}

std::vector<BusMessage> Store::busWaiting(const std::string &station, size_t limit) {
    std::vector<BusMessage> out;
    try {
        withConnection([&](Connection &c) { readWaiting(c, station, limit, false, &out); });
    } catch (const StoreError &) {
        // The store cannot be read now: the spool's messages still go.
    }
    if (exists(opts_.spoolPath))
        outbox().withConnection([&](Connection &c) { readWaiting(c, station, limit, true, &out); });
    // One order for both: the time each was queued, then its place there.
    std::sort(out.begin(), out.end(), [](const BusMessage &a, const BusMessage &b) {
        if (a.queuedAt != b.queuedAt) return a.queuedAt < b.queuedAt;
        return a.inSpool != b.inSpool ? b.inSpool : a.seq < b.seq;
    });
    if (out.size() > limit) out.resize(limit);
    return out;
}

void Store::busSent(const std::vector<BusMessage> &sent) {
    for (bool spool : {false, true}) {
        std::vector<std::string> ids;
        for (const BusMessage &m : sent)
            if (m.inSpool == spool) ids.push_back(m.id);
        if (ids.empty()) continue;
        auto drop = [&](Connection &c) {
            db::retryBusy([&] {
                db::transaction(c, [&] {
                    for (const std::string &id : ids) c.run("DELETE FROM bus_outbox WHERE message_id = $1", {id});
                });
            });
        };
        if (spool)
            outbox().withConnection(drop);
        else
            withConnection(drop);
    }
}

void Store::busFailed(const BusMessage &m, const std::string &why) {
    auto note = [&](Connection &c) {
        c.run("UPDATE bus_outbox SET attempts = attempts + 1, last_error = $1 WHERE message_id = $2", {why, m.id});
    };
    if (m.inSpool)
        outbox().withConnection(note);
    else
        withConnection(note);
}

size_t Store::busDepth(const std::string &station) {
    size_t n = 0;
    auto count = [&](Connection &c) {
        std::string sql = "SELECT count(*) FROM bus_outbox";
        db::Params p;
        if (!station.empty()) {
            sql += " WHERE station = $1";
            p.push_back(station);
        }
        c.query(sql, p, [&](const Row &r) { n += (size_t)r.integer(0); });
    };
    withConnection(count);
    if (exists(opts_.spoolPath)) outbox().withConnection(count);
    return n;
}

}  // namespace results
