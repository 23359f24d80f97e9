// rfprobe serve: reads the plan and the record options as `rfprobe run`
// does, opens the store, serves the operator page, and on an interrupt
// (Ctrl-C, SIGTERM, SIGHUP) ends every run and keeps its record, as run
// does.
#include "serve/serve.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/random.h>

#include <cstdio>
#include <cstring>
#include <set>

#include "line/session.h"
#include "line/golden.h"
#include "line/tester.h"
#include "line/unit.h"
#include "bus/pump.h"
#include "results/store.h"
#include "serve/http.h"
#include "serve/panels.h"
#include "station/link/transport.h"

namespace serve {

namespace {

constexpr const char *kLoopback = "127.0.0.1";
constexpr int kDefaultPort = 8080;

std::string newToken() {
    unsigned char b[16];
    if (getrandom(b, sizeof b, 0) != (ssize_t)sizeof b)
        throw std::runtime_error("no random source for the page's token");
    std::string t;
    char h[3];
    for (unsigned char c : b) snprintf(h, sizeof h, "%02x", c), t += h;
    return t;
}

// The first line of the file, without surrounding blanks.
std::string readToken(const char *path) {
    FILE *f = fopen(path, "r");
    if (!f) throw results::InvalidInput(std::string("--token-file ") + path + ": " + strerror(errno));
    char buf[256] = "";
    bool got = fgets(buf, sizeof buf, f) != nullptr;
    fclose(f);
    std::string t = got ? buf : "";
    while (!t.empty() && strchr(" \t\r\n", t.back())) t.pop_back();
    while (!t.empty() && strchr(" \t", t.front())) t.erase(0, 1);
    if (t.size() < 16)
        throw results::InvalidInput(std::string("--token-file ") + path +
                                    ": the token must be at least 16 characters");
    for (char c : t)
        if ((unsigned char)c < 0x21 || (unsigned char)c > 0x7e)
            throw results::InvalidInput(std::string("--token-file ") + path +
                                        ": the token must be printable ASCII without blanks");
    return t;
}

// The units: IF or IF=LABEL, once per interface.
std::vector<UnitSlot> readUnits(const station::Action &act) {
    std::vector<UnitSlot> out;
    std::set<std::string> ifaces, labels;
    for (unsigned i = 0; i < act.textCount; ++i) {
        if (strcmp(act.texts[i].arg->option, "--unit") != 0) continue;
        std::string v = act.texts[i].value;
        size_t eq = v.find('=');
        UnitSlot s{v.substr(0, eq), eq == std::string::npos ? v.substr(0, eq) : v.substr(eq + 1)};
        if (s.iface.empty() || s.iface.size() >= IF_NAMESIZE)
            throw results::InvalidInput("--unit " + v + ": give IF or IF=LABEL, e.g. --unit eth1=A");
        if (if_nametoindex(s.iface.c_str()) == 0)
            throw results::InvalidInput("--unit " + v + ": there is no interface " + s.iface);
        results::validateText("unit label", s.label);
        if (s.label.empty()) throw results::InvalidInput("--unit " + v + ": the label is empty");
        if (!ifaces.insert(s.iface).second)
            throw results::InvalidInput(
                "two units on interface " + s.iface +
                ": units on one interface cannot be told apart; give each its own interface");
        if (!labels.insert(s.label).second)
            throw results::InvalidInput("two units are called " + s.label);
        out.push_back(s);
    }
    if (out.empty()) throw results::InvalidInput("give the units with --unit IF[=LABEL]");
    return out;
}

}  // namespace

bool parseListen(const std::string &text, std::string *host, int *port, std::string *why) {
    size_t colon = text.rfind(':');
    in_addr a;
    std::string h = colon == std::string::npos ? "" : text.substr(0, colon);
    std::string p = colon == std::string::npos ? "" : text.substr(colon + 1);
    char *end = nullptr;
    long n = p.empty() ? -1 : strtol(p.c_str(), &end, 10);
    if (h.empty() || inet_pton(AF_INET, h.c_str(), &a) != 1 || p.empty() || *end || n < 0 ||
        n > 65535) {
        *why = "--listen " + text + ": give ADDRESS:PORT, e.g. 127.0.0.1:8080";
        return false;
    }
    *host = h;
    *port = (int)n;
    return true;
}

int serveCommand(const station::Options &opt, const station::Action &act) {
    // The plan, the record options, the tester and the store as run opens
    // them: a record from the page is the record of `rfprobe run --unit`.
    // The units come with each scan; the page's own options beside them.
    std::vector<UnitSlot> slots;
    std::string host = kLoopback, token, why;
    int port = kDefaultPort;
    line::Session session;
    int rc = line::openSession(opt, act, "serve", true, [&] {
        slots = readUnits(act);
        if (const char *l = act.text("--listen"))
            if (!parseListen(l, &host, &port, &why)) throw results::InvalidInput(why);
        if (const char *t = act.text("--token-file"))
            token = readToken(t);
        else if (host != kLoopback)
            token = newToken();
    }, &session);
    if (rc != station::kExitOk) return rc;
    const line::Plan &plan = session.plan;
    const line::Setup &setup = session.setup;
    results::Store *store = session.store.get();
    line::SharedTester *tester = session.tester.get();
    // Every unit a plan with tester steps runs on needs its fixture entry.
    std::vector<std::string> ifaces;
    for (const UnitSlot &s : slots) ifaces.push_back(s.iface);
    rc = line::cableUnits(plan, tester, ifaces, "serve",
                          [&](size_t i, const instrument::FixtureUnit &f) { slots[i].cable = &f; });
    if (rc != station::kExitOk) return rc;

    Panels panels(opt, setup, plan, *store, slots, tester);
    // The bus outbox goes to the broker beside the runs; the page shows
    // how many messages wait.
    std::unique_ptr<bus::Pump> pump;
    if (setup.bus) {
        pump.reset(new bus::Pump(
            *store, *setup.bus, setup.station,
            [](const std::string &m) { fprintf(stderr, "rfprobe: serve: %s\n", m.c_str()); },
            [&panels](size_t left) { panels.busDepth(left); }));
        session.setup.pump = pump.get();
        pump->kick();
    }
    PageServer server(panels, token);
    if (!server.bind(host, &port, &why)) {
        fprintf(stderr, "rfprobe: serve: %s\n", why.c_str());
        return station::kExitSocket;
    }
    server.start();
    printf("rfprobe serve: plan %s, %zu unit%s, records in %s\n", plan.name.c_str(), slots.size(),
           slots.size() == 1 ? "" : "s", store->url().display.c_str());
    printf("rfprobe serve: the operator page is at http://%s:%d/%s%s\n", host.c_str(), port,
           token.empty() ? "" : "?token=", token.c_str());
    fflush(stdout);

    while (station::waitMs(1000)) {
    }
    // The interrupt has ended every run's waits: each keeps its record.
    fprintf(stderr, "rfprobe: serve: interrupted; ending the runs and keeping their records\n");
    int worst = panels.close();
    server.stop();
    return station::worseStatus(worst, station::kExitInterrupted);
}

}  // namespace serve
