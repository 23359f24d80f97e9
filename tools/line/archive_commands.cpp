// rfprobe archive and rfprobe restore: old records out of the results
// store into a file, and back.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "line/line.h"
#include "results/store.h"
#include "station/link/transport.h"

namespace line {

namespace {

// The store for archive or restore: their statements run long (a month's
// records), and they wait for the stations' locks no longer than a station
// waits for theirs.
std::unique_ptr<results::Store> openForArchive(const station::Action &act) {
    const char *v = act.text("--store");
    const char *env = getenv("RFPROBE_STORE");
    std::string url = v ? v : env && *env ? env : kDefaultStore;
    results::OpenOptions o;
    o.mustExist = true;
    o.statementMs = 600 * 1000;
    o.idleInTransactionMs = 60 * 1000;
    return results::Store::open(url, o);
}

// What a failure returns: interrupted, a bad argument or file, the store.
int failed(const char *word, const std::exception &e) {
    if (station::interruptedBySignal()) {
        fprintf(stderr, "rfprobe: %s: interrupted; the store is as it was\n", word);
        return station::kExitInterrupted;
    }
    fprintf(stderr, "rfprobe: %s: %s\n", word, e.what());
    return dynamic_cast<const results::InvalidInput *>(&e) ? station::kExitUsage : station::kExitStore;
}

std::string megabytes(int64_t bytes) {
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f MB", (double)bytes / 1e6);
    return buf;
}

}  // namespace

int archiveCommand(const station::Action &act) {
    const char *before = act.text("--before"), *to = act.text("--to");
    try {
        if (!before || !to) throw results::InvalidInput("give --before DAY and --to FILE");
        if (!results::isDay(before))
            throw results::InvalidInput(std::string("--before ") + before + " is not a day YYYY-MM-DD");
        if (access(to, F_OK) == 0)
            throw results::InvalidInput(std::string("--to ") + to + " already exists: an archive never replaces a file");
        std::unique_ptr<results::Store> store = openForArchive(act);
        auto t0 = std::chrono::steady_clock::now();
        results::ArchiveResult r = store->archive(before, to);
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (r.records == 0) {
            printf("archive: no record in %s started before %s; no file written\n", store->url().display.c_str(),
                   before);
            return fflush(stdout) == 0 ? station::kExitOk : station::kExitStore;
        }
        printf("archive: %lld record(s) started before %s written to %s (%s), checked and deleted from %s"
               " in %.1f s (%.0f records/s); the store now takes %s\n",
               (long long)r.records, before, to, megabytes(r.fileBytes).c_str(), store->url().display.c_str(), s,
               s > 0 ? (double)r.records / s : 0.0, megabytes(r.storeBytes).c_str());
        if (!r.note.empty()) fprintf(stderr, "rfprobe: archive: %s\n", r.note.c_str());
        return fflush(stdout) == 0 ? station::kExitOk : station::kExitStore;
    } catch (const std::exception &e) {
        return failed("archive", e);
    }
}

int restoreCommand(const station::Action &act) {
    try {
        std::unique_ptr<results::Store> store = openForArchive(act);
        results::RestoreResult r = store->restore(act.path);
        printf("restore: %lld record(s) of %s restored to %s, %lld already there%s\n", (long long)r.restored,
               act.path, store->url().display.c_str(), (long long)r.alreadyThere,
               r.forgotten ? "; the archive is no longer listed" : "");
        return fflush(stdout) == 0 ? station::kExitOk : station::kExitStore;
    } catch (const std::exception &e) {
        return failed("restore", e);
    }
}

}  // namespace line
