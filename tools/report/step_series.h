// The steps' series as the steps declare them (station/series.h): for each
// plan step and series in the selected records, each y column against the
// x column, split by the group column where there is one: the values at
// every x over all units (count, mean and range), the newest units' own
// curves, and the limits the step holds the column to.  Nothing here
// knows a step: a step's declaration says what to draw, and a stored
// series whose step declares nothing is left out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "report/aggregate.h"
#include "results/store.h"

namespace report {

std::vector<StepSeriesChart> stepSeriesCharts(results::Store &store, const results::RecordFilter &filter);
// The page's section; "" without charts.
std::string stepSeriesSection(const std::vector<StepSeriesChart> &charts);

}  // namespace report
