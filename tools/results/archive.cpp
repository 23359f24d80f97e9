// rfprobe archive: old records out of the store into a file, checked, then
// deleted.  The store is read in pages (start time, then id), so that
// neither the file nor the store is ever held whole.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "results/archive_file.h"
#include "results/export.h"
#include "results/import.h"
#include "results/rows.h"

namespace results {

using db::Connection;
using db::Dialect;
using db::Row;

namespace {

constexpr size_t kPage = 200;

// One record's place in the archive's order, and its digest as stored.
struct Key {
    std::string startedAt, id, digest;
};

// The next page of records started before `before`, after `after` (none:
// from the first).
std::vector<Key> nextPage(Connection &c, const std::string &before, const Key *after) {
    Dialect d = c.dialect();
    bool pg = d == Dialect::Postgres;
    std::string q = "SELECT " + std::string(pg ? "r.record_id::text" : "r.record_id") + ", " +
                    sql::timeText(d, "r.started_at") + ", r.digest FROM records r WHERE r.started_at < $1" +
                    (pg ? "::timestamptz" : "");
    db::Params p = {before};
    if (after) {
        q += pg ? " AND (r.started_at, r.record_id) > ($2::timestamptz, $3::uuid)"
                : " AND (r.started_at, r.record_id) > ($2, $3)";
        p.push_back(after->startedAt);
        p.push_back(after->id);
    }
    q += " ORDER BY r.started_at, r.record_id LIMIT " + std::to_string(kPage);
    std::vector<Key> page;
    c.query(q, p, [&](const Row &row) { page.push_back({row.text(1), row.text(0), row.text(2)}); });
    return page;
}

// PostgreSQL reads a page in one transaction (a round trip per statement,
// not three); SQLite reads without one, taking no lock from the stations.
void reading(Connection &c, const std::function<void()> &fn) {
    if (c.dialect() == Dialect::Postgres) db::transaction(c, fn);
    else fn();
}

std::string dayOf(const std::string &before) { return before.substr(0, 10); }

// The digest a record read back must have: the stored one, or for a
// digest of an older rfprobe the one of the record as stored now.
std::string expectedDigest(Connection &c, const Key &k) {
    if (isCurrentDigest(k.digest)) return k.digest;
    std::optional<Record> r = loadRecord(c, k.id);
    if (!r) throw StoreError("record " + k.id + " went from the store while archiving: nothing deleted");
    return recordDigest(*r);
}

}  // namespace

void ArchiveTally::add(const std::string &digest) {
    count++;
    sum += strtoull(digest.substr(digest.size() >= 16 ? digest.size() - 16 : 0).c_str(), nullptr, 16);
}

ArchiveTally Store::writeArchive(const std::string &before, const std::string &file) {
    ArchiveWriter w(file);
    ArchiveTally t;
    std::optional<Key> last;
    for (bool more = true; more;) {
        withConnection([&](Connection &c) {
            reading(c, [&] {
                std::vector<Key> page = nextPage(c, before, last ? &*last : nullptr);
                more = page.size() == kPage;
                for (const Key &k : page) {
                    std::optional<Record> r = loadRecord(c, k.id);
                    if (!r) throw StoreError("record " + k.id + " went from the store while archiving");
                    std::string json = toJson(*r, false);
                    if (isCurrentDigest(k.digest) && "v2:" + sha256Hex(json) != k.digest)
                        throw StoreError("record " + k.id + " reads back from the store with another digest"
                                         " than it was stored with: nothing archived");
                    w.line(json);
                    t.add(k.digest);
                }
                if (!page.empty()) last = page.back();
            });
        });
    }
    w.finish();
    return t;
}

// Every line of the file against the store's records in the same order:
// the same id, a digest equal to the store's.
void Store::checkArchive(const std::string &before, const std::string &file, const ArchiveTally &written) {
    ArchiveReader in(file);
    std::string line;
    int64_t n = 0;
    std::optional<Key> last;
    auto changed = [&](const std::string &why) {
        return StoreError("the store changed while archiving (" + why + "): nothing deleted; archive again");
    };
    for (bool more = true; more;) {
        withConnection([&](Connection &c) {
            reading(c, [&] {
                std::vector<Key> page = nextPage(c, before, last ? &*last : nullptr);
                more = page.size() == kPage;
                for (const Key &k : page) {
                    if (!in.next(&line)) throw changed("record " + k.id + " is not in " + file);
                    std::string at = file + " line " + std::to_string(in.lineNumber());
                    Record r;
                    try {
                        r = recordFromJson(line);
                    } catch (const InvalidInput &e) {
                        throw StoreError(at + " does not read back: " + e.what() + "; nothing deleted");
                    }
                    if (r.id != k.id) throw changed(at + " holds record " + r.id + ", the store " + k.id);
                    if (recordDigest(r) != expectedDigest(c, k))
                        throw StoreError(at + ": record " + r.id +
                                         " does not read back with the store's digest; nothing deleted");
                    n++;
                }
                if (!page.empty()) last = page.back();
            });
        });
    }
    if (in.next(&line) || n != written.count)
        throw changed("records started before " + dayOf(before) + " went from it");
}

ArchiveResult Store::archive(const std::string &beforeDay, const std::string &file) {
    if (!isDay(beforeDay)) throw InvalidInput("--before " + beforeDay + " is not a day YYYY-MM-DD");
    const std::string before = beforeDay + "T00:00:00.000Z";
    struct stat sb;
    if (stat(file.c_str(), &sb) == 0) throw StoreError(file + " already exists: an archive never replaces a file");
    KeepConnection keep(*this);  // PostgreSQL: one connection for all of it
    ArchiveTally written = writeArchive(before, file);  // a failure removes the partial file
    try {
        checkArchive(before, file, written);
    } catch (...) {
        unlink(file.c_str());  // ours, and the store is as it was
        throw;
    }
    ArchiveResult res;
    if (written.count == 0) {  // nothing to archive: no file, no note for reports
        unlink(file.c_str());
        res.storeBytes = sizeBytes();
        return res;
    }
    res.note = deleteArchived(before, file, written);
    res.records = written.count;
    if (stat(file.c_str(), &sb) == 0) res.fileBytes = (int64_t)sb.st_size;
    res.storeBytes = sizeBytes();
    return res;
}

}  // namespace results
