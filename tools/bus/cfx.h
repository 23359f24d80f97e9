// The station's messages in IPC-CFX's shapes (JSON in CFX's envelope), and
// the MES's answer to a route check read back.  Which fields are filled and
// how: docs/factory.md.
#pragma once

#include <string>
#include <vector>

#include "bus/config.h"
#include "results/record.h"
#include "results/store.h"

namespace bus {

constexpr const char *kWorkStarted = "CFX.Production.WorkStarted";
constexpr const char *kUnitsTested = "CFX.Production.TestAndInspection.UnitsTested";
constexpr const char *kWorkCompleted = "CFX.Production.WorkCompleted";
constexpr const char *kValidateRequest = "CFX.InformationSystem.UnitValidation.ValidateUnitsRequest";
constexpr const char *kValidateResponse = "CFX.InformationSystem.UnitValidation.ValidateUnitsResponse";

// A stable UUID for what names it (lower-case, version 4 layout, from its
// SHA-256): the same record always gives its messages the same ids.
std::string stableId(const std::string &name);

// WorkStarted, UnitsTested and WorkCompleted of a kept record, in this
// order, each with a stable UniqueID.  A golden check's are marked.
std::vector<results::BusMessage> recordMessages(const Config &c, const results::Record &r);

// A ValidateUnitsRequest for one serial (UnitRouteValidation).
std::string validateRequest(const Config &c, const std::string &serial, const std::string &requestId);

// The MES's answer to a route check.
struct RouteAnswer {
    bool passed = false;
    std::string reason;  // the MES's message (and failure code) when it refused
};

// The RequestID of a CFX message ("" when it is not one).
std::string requestIdOf(const std::string &json);

// Reads a ValidateUnitsResponse for serial; false with *why when it is
// malformed, another message, or about another serial.
bool readValidateResponse(const std::string &json, const std::string &serial, RouteAnswer *out, std::string *why);

}  // namespace bus
