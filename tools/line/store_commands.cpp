// rfprobe sync and rfprobe report: the results store from the command line.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <memory>
#include <optional>

#include "bus/pump.h"
#include "format/output.h"
#include "format/text.h"
#include "line/line.h"
#include "report/output.h"
#include "report/zone.h"
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

constexpr int kReportStatementMs = 300 * 1000;

// --statement-timeout S: seconds, above 0, up to a day.
int reportStatementMs(const char *v) {
    std::optional<double> s = format::parseNumber(v);
    if (!s || !(*s >= 0.001 && *s <= 86400))
        throw results::InvalidInput(std::string("--statement-timeout ") + v +
                                    " is not a number of seconds from 0.001 to 86400");
    return (int)(*s * 1000 + 0.5);
}

// Everything on standard output reached it (a full disk or a closed pipe
// is an error, not a report).
bool stdoutWritten() { return fflush(stdout) == 0 && !ferror(stdout); }

}  // namespace

// The bus outbox into the broker: every station's messages, oldest first.
static int syncBus(results::Store &store, const bus::Config &c) {
    bus::DrainResult d = bus::drain(store, c, "");
    if (!d.error.empty()) fprintf(stderr, "rfprobe: sync: the bus: %s\n", d.error.c_str());
    printf("sync: %zu bus message(s) sent to %s; %zu still waiting in the bus outbox\n", d.sent, c.url.c_str(),
           d.left);
    return d.error.empty() && d.left == 0 ? station::kExitOk : station::kExitStore;
}

// The report's last line when the bus outbox holds messages ("" when it
// is empty, or the store has none).
static std::string busDepthText(results::Store &store) {
    size_t n = 0;
    try {
        n = store.busDepth();
    } catch (const std::exception &) {
        return "";
    }
    if (n == 0) return "";
    return "\nBus outbox: " + std::to_string(n) +
           " message(s) waiting for the broker (rfprobe sync --bus FILE sends them)\n";
}

int syncCommand(const station::Action &act) {
    std::string url = fromOptionOrEnv(act, "--store", "RFPROBE_STORE", kDefaultStore);
    std::string spool = fromOptionOrEnv(act, "--spool", "RFPROBE_SPOOL", kDefaultSpool);
    std::unique_ptr<results::Store> store;
    std::unique_ptr<bus::Config> bus;
    try {
        std::string busFile = fromOptionOrEnv(act, "--bus", "RFPROBE_BUS", "");
        if (!busFile.empty()) bus.reset(new bus::Config(bus::readConfig(busFile)));
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
    } catch (const bus::ConfigError &e) {
        fprintf(stderr, "rfprobe: sync: --bus %s\n", e.what());
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
        int busStatus = bus ? syncBus(*store, *bus) : station::kExitOk;
        if (!stdoutWritten()) return station::kExitStore;
        if (busStatus != station::kExitOk) return busStatus;
        return r.pending == 0 && r.errors.empty() ? station::kExitOk : station::kExitStore;
    } catch (const std::exception &e) {
        fprintf(stderr, "rfprobe: sync: %s\n", e.what());
        return station::kExitStore;
    }
}

// Like every file option: a path that cannot take the file is a bad
// argument, found before the store is read.
static void checkReportPaths(const station::Action &act) {
    for (const char *opt : {"--csv", "--html"})
        if (const char *v = act.text(opt)) {
            std::string why = format::outputPathProblem(v);
            if (!why.empty()) throw results::InvalidInput(std::string(opt) + " " + v + ": " + why);
        }
}

int reportCommand(const station::Action &act) {
    std::string url = fromOptionOrEnv(act, "--store", "RFPROBE_STORE", kDefaultStore);
    results::RecordFilter f;
    const char *csv = act.text("--csv");
    const char *html = act.text("--html");
    report::Zone zone;
    std::vector<std::string> filters;  // as given, for the page
    int statementMs = kReportStatementMs;
    try {
        if (const char *v = act.text("--statement-timeout")) statementMs = reportStatementMs(v);
        if (csv && html) throw results::InvalidInput("give --csv or --html, not both");
        const char *tz = act.text("--tz");
        zone = report::Zone::select(tz ? tz : "");
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
        const char *since = act.text("--since"), *until = act.text("--until");
        if (since && until && std::string(until) < since)
            throw results::InvalidInput(std::string("--until ") + until + " is before --since " + since);
        // Days of the report's zone, as bounds on the UTC start times.
        if (since) f.startedFrom = results::formatUtc(zone.startOfDay(since));
        if (until) f.startedBefore = results::formatUtc(zone.startOfDay(report::nextDay(until)));
        for (const char *opt : {"--plan", "--serial", "--station", "--since", "--until"})
            if (const char *v = act.text(opt)) filters.push_back(std::string(opt) + " " + v);
        checkReportPaths(act);
    } catch (const results::InvalidInput &e) {
        fprintf(stderr, "rfprobe: report: %s\n", e.what());
        return station::kExitUsage;
    }
    try {
        results::OpenOptions o;
        o.mustExist = true;
        // A report reads much more than a station writes, and waits for
        // the locks of no one but a schema change.
        o.statementMs = o.lockMs = statementMs;
        // Its rows are folded into figures as they come: between two of
        // them the transaction may idle as long as a statement may run.
        o.idleInTransactionMs = statementMs;
        o.readOnly = true;
        std::unique_ptr<results::Store> store = results::Store::open(url, o);
        // Days the archives took: said, rather than shown as days without records.
        for (const results::ArchiveInfo &a : store->archivesOverlapping(f))
            fprintf(html || csv ? stderr : stdout, "%snote: %s\n", html || csv ? "rfprobe: report: " : "",
                    results::describeArchive(a).c_str());
        if (html) {
            report::HtmlResult r = report::writeHtmlReport(*store, f, zone, filters, html);
            if (r.records == 0)
                fprintf(stderr, "rfprobe: report: %s\n",
                        filters.empty() ? "the store holds no records" : "no records match the filters");
            if (std::string(html) != "-")
                fprintf(stderr, "rfprobe: report: %lld record(s), %zu bytes written to %s\n",
                        (long long)r.records, r.bytes, html);
            return station::kExitOk;
        }
        if (!csv) {
            std::string text = report::textReport(*store, f, zone);
            text += busDepthText(*store);
            fputs(text.c_str(), stdout);
            if (!stdoutWritten()) {
                fprintf(stderr, "rfprobe: report: cannot write to standard output: %s\n", strerror(errno));
                return station::kExitStore;
            }
            return station::kExitOk;
        }
        // The export streams into the file, which appears once complete.
        format::OutputFile out(csv);
        int64_t rows = results::exportCsv(*store, f, out.stream());
        out.commit();
        if (std::string(csv) != "-")
            fprintf(stderr, "rfprobe: report: %lld row(s) written to %s\n", (long long)rows, csv);
        return station::kExitOk;
    } catch (const std::exception &e) {
        // Ctrl-C ends the store's waits (a long query, a lock): that is
        // the interrupt, not the store's fault.
        if (station::interruptedBySignal()) {
            fprintf(stderr, "rfprobe: report: interrupted\n");
            return station::kExitInterrupted;
        }
        fprintf(stderr, "rfprobe: report: %s\n", e.what());
        return station::kExitStore;
    }
}

}  // namespace line
