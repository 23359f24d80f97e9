// rfprobe restore: an archive's records back into the store; and what the
// store knows of its archives.
#include <sys/stat.h>

#include <memory>

#include "results/archive_file.h"
#include "results/import.h"
#include "results/rows.h"

namespace results {

using db::Connection;
using db::Dialect;
using db::Row;

namespace {

constexpr size_t kBatch = 100;

// Reads every line of the archive into a record and checks it; calls each
// with it.  A file that is not a sound archive throws InvalidInput naming
// the line; what each throws goes through as it is.
void readArchive(const std::string &file, const std::function<void(Record &&)> &each) {
    std::unique_ptr<ArchiveReader> in;
    std::string line;
    for (;;) {
        try {
            if (!in) in = std::make_unique<ArchiveReader>(file);
            if (!in->next(&line)) return;
        } catch (const StoreError &e) {
            throw InvalidInput(std::string(e.what()) + "; nothing restored");
        }
        Record r;
        try {
            r = recordFromJson(line);
            validateRecord(r);
        } catch (const InvalidInput &e) {
            throw InvalidInput(file + " line " + std::to_string(in->lineNumber()) + " is not a sound record: " +
                               e.what() + "; nothing restored");
        }
        each(std::move(r));
    }
}

bool isGoldenCheck(const Record &r) {
    auto kind = r.metadata.find(kRecordKindKey);
    return kind != r.metadata.end() && kind->second == kGoldenKind && r.metadata.count(kFixturePortKey);
}

std::string baseName(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

// One transaction.  A restored golden check is an old one: it does not
// become its port's newest for the lock-out, which keeps the rows it had.
int64_t Store::restoreBatch(const std::vector<Record> &batch, int64_t *alreadyThere) {
    int64_t restored = 0, there = 0;
    withConnection([&](Connection &c) {
        bool pg = c.dialect() == Dialect::Postgres;
        for (const Record &r : batch) prepareMonth(c, r.startedAt);
        db::retryBusy([&] {
            restored = there = 0;
            db::transaction(c, [&] {
                int64_t lastSeq = 0;
                c.query("SELECT coalesce(max(seq), 0) FROM golden_checks", {},
                        [&](const Row &row) { lastSeq = row.integer(0); });
                for (const Record &r : batch) {
                    if (!insertRecord(c, r)) {
                        there++;
                        continue;
                    }
                    restored++;
                    if (isGoldenCheck(r))
                        c.run(std::string("DELETE FROM golden_checks WHERE record_id = $1") + (pg ? "::uuid" : "") +
                                  " AND seq > $2",
                              {r.id, lastSeq});
                }
            });
        });
    });
    *alreadyThere += there;
    return restored;
}

RestoreResult Store::restore(const std::string &file) {
    int64_t count = 0;
    readArchive(file, [&](Record &&) { count++; });  // all of it sound before anything is written
    KeepConnection keep(*this);
    RestoreResult res;
    std::vector<Record> batch;
    auto flush = [&] {
        res.restored += restoreBatch(batch, &res.alreadyThere);
        batch.clear();
    };
    readArchive(file, [&](Record &&r) {
        batch.push_back(std::move(r));
        if (batch.size() == kBatch) flush();
    });
    if (!batch.empty()) flush();
    // Every record of the file is in the store: the archive is no longer
    // one.  It is known by its path, or by its name and count if moved.
    withConnection([&](Connection &c) {
        int64_t n = c.run("DELETE FROM archives WHERE file = $1", {absolutePath(file)});
        if (n == 0)
            n = c.run("DELETE FROM archives WHERE records = $1 AND (file = $2 OR file LIKE $3)",
                      {count, baseName(file), "%/" + baseName(file)});
        res.forgotten = n > 0;
    });
    return res;
}

std::vector<ArchiveInfo> Store::archives() {
    std::vector<ArchiveInfo> out;
    withConnection([&](Connection &c) {
        Dialect d = c.dialect();
        c.query("SELECT file, " + sql::timeText(d, "before") + ", records, " + sql::timeText(d, "archived_at") +
                    " FROM archives ORDER BY before, archived_at",
                {}, [&](const Row &row) { out.push_back({row.text(0), row.text(1), row.text(3), row.integer(2)}); });
    });
    return out;
}

std::vector<ArchiveInfo> Store::archivesOverlapping(const RecordFilter &f) {
    std::string from = f.since.empty() ? "" : f.since + "T00:00:00.000Z";
    if (f.startedFrom > from) from = f.startedFrom;
    std::vector<ArchiveInfo> out;
    for (ArchiveInfo &a : archives())
        if (from.empty() || from < a.before) out.push_back(std::move(a));
    return out;
}

int64_t Store::sizeBytes() {
    if (url_.kind == StoreKind::Sqlite) {
        int64_t n = 0;
        struct stat sb;
        for (const char *ext : {"", "-wal"})
            if (stat((url_.path + ext).c_str(), &sb) == 0) n += (int64_t)sb.st_size;
        return n;
    }
    int64_t n = 0;
    withConnection([&](Connection &c) {
        c.query("SELECT pg_database_size(current_database())", {}, [&](const Row &row) { n = row.integer(0); });
    });
    return n;
}

std::string describeArchive(const ArchiveInfo &a) {
    return "records started before " + a.before.substr(0, 10) + " " + a.before.substr(11, 5) +
           " UTC are archived (" + std::to_string(a.records) + " records in " + a.file + " on " +
           a.archivedAt.substr(0, 10) + "): rfprobe restore " + a.file + " to report on them";
}

}  // namespace results
