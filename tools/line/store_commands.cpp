// rfprobe sync and rfprobe report: the results store from the command line.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>

#include "line/line.h"
#include "results/report.h"
#include "results/store.h"

namespace line {

namespace {

std::string fromOptionOrEnv(const station::Action &act, const char *option, const char *env,
                            const char *fallback) {
    if (const char *v = act.text(option)) return v;
    const char *e = getenv(env);
    return e && *e ? e : fallback;
}

// Everything on standard output reached it (a full disk or a closed pipe
// is an error, not a report).
bool stdoutWritten() { return fflush(stdout) == 0 && !ferror(stdout); }

}  // namespace

int syncCommand(const station::Action &act) {
    std::string url = fromOptionOrEnv(act, "--store", "RFPROBE_STORE", kDefaultStore);
    std::string spool = fromOptionOrEnv(act, "--spool", "RFPROBE_SPOOL", kDefaultSpool);
    std::unique_ptr<results::Store> store;
    try {
        results::parseStoreUrl(url);
        results::StoreUrl sp = results::parseStoreUrl(spool);
        if (sp.kind != results::StoreKind::Sqlite)
            throw results::InvalidInput("--spool " + spool + " must be a local SQLite file");
        results::OpenOptions o;
        o.spoolPath = sp.path;
        store = results::Store::open(url, o);
    } catch (const results::InvalidInput &e) {
        fprintf(stderr, "rfprobe: sync: %s\n", e.what());
        return station::kExitUsage;
    } catch (const std::exception &e) {
        fprintf(stderr, "rfprobe: sync: %s\n", e.what());
        return station::kExitStore;
    }
    try {
        results::SyncResult r = store->sync();
        for (const std::string &e : r.errors) fprintf(stderr, "rfprobe: sync: %s\n", e.c_str());
        printf("sync: %zu record(s) uploaded to %s, %zu already there; %zu still waiting in %s\n",
               r.uploaded, store->url().display.c_str(), r.alreadyThere, r.pending, spool.c_str());
        if (!stdoutWritten()) return station::kExitStore;
        return r.pending == 0 && r.errors.empty() ? station::kExitOk : station::kExitStore;
    } catch (const std::exception &e) {
        fprintf(stderr, "rfprobe: sync: %s\n", e.what());
        return station::kExitStore;
    }
}

int reportCommand(const station::Action &act) {
    std::string url = fromOptionOrEnv(act, "--store", "RFPROBE_STORE", kDefaultStore);
    results::RecordFilter f;
    const char *csv = act.text("--csv");
    bool csvFile = csv && std::string(csv) != "-";
    try {
        results::parseStoreUrl(url);
        if (const char *v = act.text("--plan")) f.plan = v;
        if (const char *v = act.text("--serial")) results::validateSerial(f.serial = v);
        if (const char *v = act.text("--station"))
            results::validateName("station name", f.station = v);
        for (const char *opt : {"--since", "--until"}) {
            const char *v = act.text(opt);
            if (v && !results::isDay(v))
                throw results::InvalidInput(std::string(opt) + " " + v +
                                            " is not a day YYYY-MM-DD");
        }
        if (const char *v = act.text("--since")) f.since = v;
        if (const char *v = act.text("--until")) f.until = v;
        if (!f.since.empty() && !f.until.empty() && f.until < f.since)
            throw results::InvalidInput("--until " + f.until + " is before --since " + f.since);
        if (csvFile) {
            // Like every file option: a directory that cannot take the file
            // is a bad argument, found before the store is read.
            std::string p = csv;
            size_t slash = p.rfind('/');
            std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
            if (p.empty() || p.back() == '/' || access(dir.c_str(), W_OK | X_OK) != 0)
                throw results::InvalidInput("--csv " + p + ": cannot write in " + dir + ": " +
                                            (p.empty() || p.back() == '/' ? "no file name" : strerror(errno)));
        }
    } catch (const results::InvalidInput &e) {
        fprintf(stderr, "rfprobe: report: %s\n", e.what());
        return station::kExitUsage;
    }
    std::string tmp = csvFile ? std::string(csv) + ".tmp" : "";
    try {
        results::OpenOptions o;
        o.mustExist = true;
        std::unique_ptr<results::Store> store = results::Store::open(url, o);
        if (!csv) {
            std::string text = results::formatReport(*store, f);
            fputs(text.c_str(), stdout);
            if (!stdoutWritten()) {
                fprintf(stderr, "rfprobe: report: cannot write to standard output: %s\n", strerror(errno));
                return station::kExitStore;
            }
            return station::kExitOk;
        }
        if (!csvFile) {
            results::exportCsv(*store, f, std::cout);
            std::cout.flush();
            if (!std::cout) {
                fprintf(stderr, "rfprobe: report: cannot write to standard output\n");
                return station::kExitStore;
            }
            return station::kExitOk;
        }
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) throw std::runtime_error("cannot write " + tmp + ": " + strerror(errno));
        int64_t rows = results::exportCsv(*store, f, out);
        out.close();
        if (!out) throw std::runtime_error("cannot write " + tmp);
        if (rename(tmp.c_str(), csv) != 0)
            throw std::runtime_error("cannot rename " + tmp + " to " + csv + ": " + strerror(errno));
        fprintf(stderr, "rfprobe: report: %lld row(s) written to %s\n", (long long)rows, csv);
        return station::kExitOk;
    } catch (const std::exception &e) {
        if (!tmp.empty()) remove(tmp.c_str());  // a failed export leaves no file behind
        fprintf(stderr, "rfprobe: report: %s\n", e.what());
        return station::kExitStore;
    }
}

}  // namespace line
