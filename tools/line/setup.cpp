// Record options of a run: units, station, operator, metadata, store and
// export files, from the command line and the environment, all checked
// before anything is sent or written.
#include <net/if.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>

#include "line/line.h"
#include "results/store.h"

namespace line {

using results::InvalidInput;

namespace {

// A file's directory must exist and take new files.
void checkWritable(const char *option, const std::string &path) {
    if (path.empty()) throw InvalidInput(std::string(option) + " needs a file name");
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (access(dir.c_str(), W_OK | X_OK) != 0)
        throw InvalidInput(std::string(option) + " " + path + ": cannot write in " + dir + ": " +
                           strerror(errno));
}

std::string hostName() {
    char buf[HOST_NAME_MAX + 1] = "";
    if (gethostname(buf, sizeof buf) != 0) return "";
    buf[sizeof buf - 1] = '\0';
    return buf;
}

}  // namespace

std::string planName(const char *path) {
    if (strcmp(path, "-") == 0) return station::kStdinPlanName;
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string forSerial(const std::string &path, const std::string &serial) {
    std::string out = path;
    const std::string mark = "{serial}";
    for (size_t p = out.find(mark); p != std::string::npos; p = out.find(mark, p + serial.size()))
        out.replace(p, mark.size(), serial);
    return out;
}

namespace {

// --unit IF=SERIAL (once per unit, unless the units come later) and --meta
// KEY=VALUE.
void readUnitsAndMeta(const station::Action &act, bool unitsLater, Setup *s) {
    std::set<std::string> ifaces, serials, keys;
    for (unsigned i = 0; i < act.textCount; ++i) {
        const station::TextArg &t = act.texts[i];
        std::string v = t.value;
        if (strcmp(t.arg->option, "--unit") == 0 && !unitsLater) {
            size_t eq = v.find('=');
            if (eq == std::string::npos || eq == 0)
                throw InvalidInput("--unit " + v + ": give IF=SERIAL, e.g. --unit eth1=SN0001");
            Unit u{v.substr(0, eq), v.substr(eq + 1)};
            if (u.iface.size() >= IF_NAMESIZE)
                throw InvalidInput("--unit " + v + ": interface name " + u.iface + " is too long");
            results::validateSerial(u.serial);
            if (!ifaces.insert(u.iface).second)
                throw InvalidInput(
                    "two units on interface " + u.iface +
                    ": every unit answers with the same broadcast from the same address, so "
                    "units on one interface cannot be told apart; give each unit its own "
                    "interface");
            if (!serials.insert(u.serial).second)
                throw InvalidInput("serial " + u.serial + " is given for two units");
            s->units.push_back(u);
        } else if (strcmp(t.arg->option, "--meta") == 0) {
            size_t eq = v.find('=');
            if (eq == std::string::npos)
                throw InvalidInput("--meta " + v + ": give KEY=VALUE, e.g. --meta lot=2024-18");
            std::string key = v.substr(0, eq);
            results::validateMetaKey(key);
            results::validateText(("metadata value of " + key).c_str(), v.substr(eq + 1));
            if (!keys.insert(key).second)
                throw InvalidInput("metadata key " + key + " given twice");
            s->metadata[key] = v.substr(eq + 1);
        }
    }
}

// --dut SERIAL or the --unit list, never both.
void readDut(const station::Options &opt, const station::Action &act, Setup *s) {
    const char *dut = act.text("--dut");
    s->parallel = !s->units.empty();
    if (dut && s->parallel)
        throw InvalidInput("give either --dut (one unit) or --unit (one per unit), not both");
    if (!dut && !s->parallel)
        throw InvalidInput(std::string(act.texts[0].arg->option) +
                           " belongs to a recorded run: name the unit with --dut SERIAL or "
                           "--unit IF=SERIAL");
    if (s->parallel && opt.iface[0])
        throw InvalidInput("--iface and --unit: each unit names its own interface");
    if (dut) {
        results::validateSerial(dut);
        s->units.push_back({opt.iface, dut});
    }
}

// --station and --operator, else their variables.
void readWho(const station::Action &act, const std::function<std::string(const char *)> &fromEnv, Setup *s) {
    const char *station = act.text("--station");
    s->station = station ? station : fromEnv("RFPROBE_STATION");
    if (s->station.empty()) s->station = hostName();
    try {
        results::validateName("station name", s->station);
    } catch (const InvalidInput &e) {
        const char *hint = station ? "" : " (name the station with --station or RFPROBE_STATION)";
        throw InvalidInput(std::string(e.what()) + hint);
    }
    const char *op = act.text("--operator");
    s->operatorName = op ? op : fromEnv("RFPROBE_OPERATOR");
    results::validateText("operator", s->operatorName);
}

// --store and --spool, else their variables, else the default files.
void readStores(const station::Action &act, const std::function<std::string(const char *)> &fromEnv,
                Setup *s) {
    // An empty --store is a mistake (a variable that was not set), not a
    // wish for the default file; an empty RFPROBE_STORE means unset.
    const char *store = act.text("--store");
    if (store && !*store)
        throw InvalidInput("--store is empty: give a file or a postgresql:// URL, or leave the "
                           "option out for ./" + std::string(kDefaultStore));
    s->store = store ? store : fromEnv("RFPROBE_STORE");
    if (s->store.empty()) s->store = kDefaultStore;
    results::StoreUrl url = results::parseStoreUrl(s->store);
    const char *spool = act.text("--spool");
    s->spool = spool ? spool : fromEnv("RFPROBE_SPOOL");
    if (s->spool.empty()) s->spool = kDefaultSpool;
    // The spool is every store's outbox: where a record waits while its
    // store cannot take it.
    results::StoreUrl sp = results::parseStoreUrl(s->spool);
    if (sp.kind != results::StoreKind::Sqlite)
        throw InvalidInput("--spool " + s->spool + " must be a local SQLite file");
    checkWritable("--spool", sp.path);
    s->spool = sp.path;
    if (url.kind != results::StoreKind::Postgres) checkWritable("--store", url.path);
}

// --json-record and --junit.
void readExports(const station::Action &act, Setup *s) {
    if (const char *j = act.text("--json-record")) {
        s->jsonPath = j;
        if (s->units.size() > 1 && s->jsonPath.find("{serial}") == std::string::npos)
            throw InvalidInput("--json-record " + s->jsonPath +
                               ": with several units the name must hold {serial}, e.g. "
                               "records/{serial}.json");
        for (const Unit &u : s->units)
            checkWritable("--json-record", forSerial(s->jsonPath, u.serial));
    }
    if (const char *j = act.text("--junit")) {
        s->junitPath = j;
        checkWritable("--junit", s->junitPath);
    }
}

}  // namespace

Setup readSetup(const station::Options &opt, const station::Action &act, const Env &env, bool unitsLater) {
    Setup s;
    auto fromEnv = [&](const char *name) -> std::string {
        const char *v = env(name);
        return v ? v : "";
    };
    readUnitsAndMeta(act, unitsLater, &s);
    if (!unitsLater) readDut(opt, act, &s);
    readWho(act, fromEnv, &s);
    readStores(act, fromEnv, &s);
    readExports(act, &s);
    if (const char *h = act.text("--require-golden")) {
        char *end = nullptr;
        s.requireGoldenHours = strtod(h, &end);
        if (!*h || *end || !(s.requireGoldenHours > 0 && s.requireGoldenHours <= 8760))
            throw InvalidInput(std::string("--require-golden ") + h + ": give hours, above 0 and at most 8760");
    }
    std::string busFile = act.text("--bus") ? act.text("--bus") : fromEnv("RFPROBE_BUS");
    if (!busFile.empty()) {
        try {
            s.bus = std::make_shared<const bus::Config>(bus::readConfig(busFile));
        } catch (const bus::ConfigError &e) {
            throw InvalidInput(std::string("--bus ") + e.what());
        }
    }
    if (s.parallel)
        for (const Unit &u : s.units)
            if (if_nametoindex(u.iface.c_str()) == 0)
                throw InvalidInput("--unit " + u.iface + "=" + u.serial +
                                   ": there is no interface " + u.iface);
    return s;
}

int openStore(const Setup &setup, const char *word, std::unique_ptr<results::Store> *out) {
    try {
        results::OpenOptions o;
        o.spoolPath = setup.spool;
        *out = results::Store::open(setup.store, o);
        return station::kExitOk;
    } catch (const results::InvalidInput &e) {
        fprintf(stderr, "rfprobe: %s: %s (nothing was sent)\n", word, e.what());
        return station::kExitUsage;
    } catch (const std::exception &e) {
        fprintf(stderr, "rfprobe: %s: %s (nothing was sent)\n", word, e.what());
        return station::kExitStore;
    }
}

}  // namespace line
