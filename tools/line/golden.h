// The line's golden unit: its reference file, the golden check's records
// (kind "golden" in the store) and the lock-out of a port whose last check
// did not pass, and fixture-cal, which measures a port's path loss with
// the golden unit and rewrites that port's loss table.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "results/store.h"
#include "station/args/args.h"
#include "station/step/tester.h"

namespace line {

struct Plan;
struct Setup;

// Metadata of a golden check's record: kind = golden, and the tester port
// it checked.  Other records have no kind.
using results::kGoldenKind;
using results::kFixturePortKey;
constexpr const char *kKindKey = results::kRecordKindKey;

// Reads a reference file (TOML, docs/tester.md "The golden unit"); false
// with *err as "FILE:LINE: KEY: why".
bool loadGoldenReference(const std::string &path, station::GoldenReference *out, std::string *err);
bool parseGoldenReference(const std::string &text, const std::string &path, station::GoldenReference *out,
                          std::string *err);

// The plan's golden-check steps (kNeedsGolden): reads their reference into
// plan->golden (one file per plan) and checks every unit's serial against
// it.  kExitOk, or kExitUsage after saying why as "rfprobe: COMMAND: ..."
// (nothing was sent).
int prepareGolden(Plan *plan, const std::vector<std::string> &serials, const char *command);

// Why a production run on this port is refused under --require-golden
// HOURS: its last golden check in the store (station, tester port) is
// missing, failed or older than HOURS; "" when it may run.  The message
// names the port, the last check and what to do.
// A golden check dated further than this ahead of the station's clock is
// refused by the lock-out: one of the two clocks is wrong.
constexpr double kGoldenClockSkewS = 300;
std::string goldenLock(results::Store &store, const std::string &station, const std::string &iface, int port,
                       double hours);

// The path losses a golden check measured with no loss applied, added to
// *loss by channel: each chC_cK_diff_P it recorded is the tester's
// reading less the reference's output, so minus the path's loss.
void lossesOf(const std::vector<station::RecordedValue> &values, std::map<int, std::vector<double>> *loss);

// rfprobe fixture-cal (handlers.cpp registers it).
int fixtureCalCommand(const station::Options &opt, const station::Action &act);

}  // namespace line
