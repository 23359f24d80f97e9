// The route check: may this unit be tested here?  Asked of the MES with a
// ValidateUnitsRequest before anything is sent to the unit.
#pragma once

#include <string>

#include "bus/config.h"

namespace bus {

struct RouteCheck {
    bool answered = false;  // the MES gave a well-formed answer about this serial
    bool passed = false;    // ... and it let the unit through
    std::string text;       // for people: the MES's reason, or why there is no answer
    // For the record's metadata (advisory): "Passed", "Failed: REASON",
    // "no answer: WHY".
    std::string metadata() const;
};

RouteCheck checkRoute(const Config &c, const std::string &serial);

}  // namespace bus
