// rfprobe station: arguments that several commands and steps share, so
// that each is written once (station/commands.cpp, station/steps/).
#pragma once

#include "station/args/command.h"

namespace station {

// Options of one group show together on a command's page.
inline constexpr const char *kLimits = "LIMITS";

inline constexpr ArgDef kRate = {"--rate", "I", "rate index", Conv::Integer, Field::Byte, true,
                                 0,        kMaxRateIndex, "rate index, 0..48"};
inline constexpr ArgDef kBandwidth = {"--bw", "W", "bandwidth", Conv::Bandwidth, Field::Value1, true,
                                      0,      0,   "bandwidth in MHz: 20, 40, 80 or 160"};
inline constexpr ArgDef kChain = {nullptr, "CHAIN", "chain", Conv::Integer, Field::Chain, true,
                                  0,       kMaxChain};
inline constexpr ArgDef kStopOnFail = {"--stop-on-fail", "", "--stop-on-fail", Conv::Flag,
                                       Field::StopOnFail, false, 0, 0,
                                       "in a plan: a missed limit ends the plan after this step\n"
                                       "(otherwise the plan goes on and ends FAIL)",
                                       nullptr, kLimits};

// Limits on a received count (stop-rx, rx): every value the step measures.
inline constexpr ArgDef kCountMin = {"--min", "N", "--min", Conv::Limit, Field::Low, false, 0, 0,
                                     "lowest received count that passes", nullptr, kLimits};
inline constexpr ArgDef kCountMax = {"--max", "N", "--max", Conv::Limit, Field::High, false, 0, 0,
                                     "highest received count that passes", nullptr, kLimits};

}  // namespace station
