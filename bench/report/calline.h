// Records of the calibration line for report-mkstore (see calline.cpp).
#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "results/store.h"

enum class UnitFault { None, WeakReceiver, BadCrystal, BrokenPa };

results::Record makeCalLineRecord(std::mt19937_64 &rng, int64_t startMs, const std::string &serial,
                                  UnitFault fault, bool testerPlan, bool agentDown, int k);
