// rfprobe on a production line: records of plan runs, several units at
// once, and the results store commands (sync, report, archive, restore).
//
// This layer sits beside the wire path, not in it: a plan runs exactly as
// `rfprobe run` runs it, one step at a time (station::PlanRun), and this
// layer turns each step into the step of a record (results/record.h)
// between steps; the station never calls up into it.  Only built where the results
// library is (not in the cross build for the router).
#pragma once

#include <functional>
#include <memory>
#include <map>
#include <string>
#include <vector>

#include "bus/config.h"
#include "results/record.h"
#include "results/store.h"
#include "station/args/args.h"
#include "station/runner/plan.h"
#include "station/runner/run.h"

namespace bus {
class Pump;
}

namespace line {

// The handlers of the commands that need the results store (handlers.cpp
// registers them in the command table); each returns the tool's exit status.
int recordedRun(const station::Options &opt, const station::Action &act);  // run --dut/--unit
int syncCommand(const station::Action &act);    // store_commands.cpp
int reportCommand(const station::Action &act);  // store_commands.cpp
int archiveCommand(const station::Action &act);  // archive_commands.cpp
int restoreCommand(const station::Action &act);  // archive_commands.cpp

// ---- the parts, for the tests ----------------------------------------------

constexpr const char *kDefaultStore = "rfprobe-results.db";
// The metadata key of a record that holds the tester's *IDN? answer.
constexpr const char *kTesterIdnKey = "tester_idn";
constexpr const char *kDefaultSpool = "rfprobe-spool.db";

struct Unit {
    std::string iface;   // empty: as the station options say (--dut)
    std::string serial;
};

// What a recorded run needs besides the plan, checked.
struct Setup {
    std::vector<Unit> units;
    bool parallel = false;  // --unit: each unit in its own thread
    std::string station;
    std::string operatorName;
    std::map<std::string, std::string> metadata;
    std::string store;      // URL
    std::string spool;      // SQLite path, for a PostgreSQL store
    std::string jsonPath;   // may hold {serial}
    std::string junitPath;
    // --require-golden HOURS: production runs only on ports whose last
    // golden check passed within HOURS (0: no such rule).
    double requireGoldenHours = 0;
    // --bus FILE (else $RFPROBE_BUS): the factory's bus, read and checked;
    // null without one.  pump: the run's sender of the bus outbox, kicked
    // after each record is kept (null: no bus, or not running yet).
    std::shared_ptr<const bus::Config> bus;
    bus::Pump *pump = nullptr;
};

// The metadata key of a record that holds the MES's answer to its route
// check (advisory mode).
constexpr const char *kRouteCheckKey = "mes_route_check";

using Env = std::function<const char *(const char *)>;

// Reads and checks the record options of a run (environment for what is
// not given).  Throws results::InvalidInput with a message for the user;
// checks nothing on the network or in the store.  unitsLater: the units
// come with each scan (serve), so neither --dut nor --unit IF=SERIAL is
// read.
Setup readSetup(const station::Options &opt, const station::Action &act, const Env &env,
                bool unitsLater = false);

// Opens the setup's store with its spool, for the command `word` (run,
// serve).  Returns kExitOk, or says why and returns kExitUsage (a bad URL)
// or kExitStore (the store cannot be opened); nothing was sent then.
int openStore(const Setup &setup, const char *word, std::unique_ptr<results::Store> *out);

// The plan's name in records: its file name without directories
// (station::kStdinPlanName for standard input).
std::string planName(const char *path);

// FILE with every "{serial}" replaced.
std::string forSerial(const std::string &path, const std::string &serial);

// Under the bus's route check (setup.bus), before anything is sent to
// the unit: why the MES keeps it from this station ("" when it may be
// tested; enforced mode refuses also when there is no usable answer).
// Advisory mode tests it anyway, with the MES's answer in *meta under
// kRouteCheckKey (the record's metadata).  Asks the MES: takes up to the
// route check's timeout.
std::string routeRefusal(const Setup &setup, const Unit &u, std::map<std::string, std::string> *meta);

// One step of a record from what the station saw, with the station's
// verdicts (the store checks them).
results::Step recordStep(const station::PlanStep &s, const station::StepResult &r,
                         const std::string &startedAt, double seconds);

// The value of kTesterIdnKey in a record: the tester's *IDN? answer as
// text a record holds, "(did not answer)" when there was none.
std::string testerIdnText(const std::string &idn);

// A short account of a step for people: "line 24 rx: FAIL: count 12 below
// 950", "line 3 set-channel: ERROR: set-channel (0x82): no reply ...".
std::string describeStep(const station::PlanStep &s, const station::StepResult &r);

}  // namespace line
