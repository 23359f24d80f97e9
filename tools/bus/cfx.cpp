// The station's CFX messages (cfx.h).
#include "bus/cfx.h"

#include <nlohmann/json.hpp>

#include "format/json.h"
#include "station/measures.h"

namespace bus {

using results::Record;
using station::Verdict;

namespace {

const char *testResult(Verdict v) {
    return v == Verdict::Pass ? "Passed" : v == Verdict::Fail ? "Failed" : "Aborted";
}

bool isGolden(const Record &r) {
    auto k = r.metadata.find(results::kRecordKindKey);
    return k != r.metadata.end() && k->second == results::kGoldenKind;
}

// What marks a golden check's messages, in CFX's free-text fields.
std::string goldenNote(const Record &r) {
    auto p = r.metadata.find(results::kFixturePortKey);
    return "golden check" + (p == r.metadata.end() ? std::string() : " of tester port " + p->second);
}

// The envelope, its body to be written by body().
template <class Body>
std::string envelope(const Config &c, const char *name, const std::string &id, const std::string &time,
                     const std::string &target, const std::string &requestId, Body body) {
    format::Json j;
    j.open('{');
    j.key("MessageName"), j.str(name);
    j.key("Version"), j.str("2.0");
    j.key("TimeStamp"), j.str(time);
    j.key("UniqueID"), j.str(id);
    j.key("Source"), j.str(c.handle);
    j.key("Target"), j.strOrNull(target);
    j.key("RequestID"), j.strOrNull(requestId);
    j.key("MessageBody");
    j.open('{');
    j.key("$type"), j.str(std::string(name) + ", CFX");
    body(j);
    j.close('}');
    j.close('}');
    return j.done();
}

void units(format::Json &j, const std::string &serial) {
    j.key("Units");
    j.open('[');
    j.open('{');
    j.key("UnitIdentifier"), j.str(serial);
    j.key("PositionNumber"), j.integer(1);
    j.close('}');
    j.close(']');
}

void measurement(format::Json &j, const results::Step &s, size_t k, const std::string &testId) {
    const results::Measurement &m = s.measurements[k];
    station::MeasureInfo info = station::measureInfo(m.name, s.command);
    j.open('{');
    j.key("$type"), j.str("CFX.Structures.NumericMeasurement, CFX");
    j.key("UniqueIdentifier"), j.str(stableId(testId + "/" + m.name));
    j.key("MeasurementName"), j.str(m.name);
    j.key("Sequence"), j.integer((int64_t)k);
    j.key("Result"), j.str(testResult(m.verdict));
    j.key("MeasuredValue");
    j.open('{');
    j.key("Value"), j.num(m.value);
    j.key("ValueUnits"), j.strOrNull(info.unit);
    j.key("MinimumAcceptableValue");
    m.low ? j.num(*m.low) : j.null();
    j.key("MaximumAcceptableValue");
    m.high ? j.num(*m.high) : j.null();
    j.close('}');
    j.close('}');
}

void test(format::Json &j, const Record &r, size_t index) {
    const results::Step &s = r.steps[index];
    std::string id = stableId(r.id + "/step/" + std::to_string(index));
    std::string args;
    for (const std::string &a : s.args) args += (args.empty() ? "" : " ") + a;
    j.open('{');
    j.key("UniqueIdentifier"), j.str(id);
    j.key("TestName"), j.str("line " + std::to_string(s.line) + " " + s.command);
    j.key("TestStartTime"), j.str(s.startedAt);
    j.key("TestProcedure"), j.str(s.command + (args.empty() ? "" : " " + args));
    j.key("Comments"), j.strOrNull(isGolden(r) ? goldenNote(r) : "");
    j.key("Result"), j.str(testResult(s.verdict));
    j.key("Error"), j.strOrNull(s.error);
    j.key("Measurements");
    j.open('[');
    for (size_t k = 0; k < s.measurements.size(); ++k) measurement(j, s, k, id);
    j.close(']');
    j.close('}');
}

results::BusMessage message(const Record &r, const char *name, const std::string &body) {
    results::BusMessage m;
    m.id = stableId(r.id + "/" + name);
    m.station = r.station;
    m.recordId = r.id;
    m.name = name;
    m.body = body;
    return m;
}

}  // namespace

std::string stableId(const std::string &name) {
    std::string h = results::sha256Hex(name).substr(0, 32);
    h[12] = '4';
    h[16] = "89ab"[std::stoi(h.substr(16, 1), nullptr, 16) & 3];
    return h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) + "-" + h.substr(20);
}

std::vector<results::BusMessage> recordMessages(const Config &c, const Record &r) {
    std::vector<results::BusMessage> out;
    std::string note = isGolden(r) ? goldenNote(r) : "";
    out.push_back(message(r, kWorkStarted,
                          envelope(c, kWorkStarted, stableId(r.id + "/" + kWorkStarted), r.startedAt, "", "",
                                   [&](format::Json &j) {
                                       j.key("TransactionID"), j.str(r.id);
                                       j.key("PrimaryIdentifier"), j.str(r.serial);
                                       j.key("Stage"), j.strOrNull(note);
                                       units(j, r.serial);
                                   })));
    out.push_back(message(r, kUnitsTested,
                          envelope(c, kUnitsTested, stableId(r.id + "/" + kUnitsTested), r.endedAt, "", "",
                                   [&](format::Json &j) {
                                       j.key("TransactionId"), j.str(r.id);
                                       j.key("TestMethod"), j.str("Automated");
                                       j.key("Tester");
                                       j.open('{');
                                       j.key("OperatorIdentifier"), j.strOrNull(r.operatorName);
                                       j.key("ActorType"), j.str("Human");
                                       j.close('}');
                                       j.key("RecipeName"), j.str(r.planName);
                                       j.key("RecipeRevision"), j.str(r.planSha256);
                                       j.key("SamplingInformation");
                                       j.open('{');
                                       j.key("SamplingMethod"), j.str("NoSampling");
                                       j.close('}');
                                       j.key("TestedUnits");
                                       j.open('[');
                                       j.open('{');
                                       j.key("UnitIdentifier"), j.str(r.serial);
                                       j.key("UnitPositionNumber"), j.integer(1);
                                       j.key("OverallResult"), j.str(testResult(r.verdict));
                                       j.key("Tests");
                                       j.open('[');
                                       for (size_t i = 0; i < r.steps.size(); ++i) test(j, r, i);
                                       j.close(']');
                                       j.close('}');
                                       j.close(']');
                                   })));
    out.push_back(message(r, kWorkCompleted,
                          envelope(c, kWorkCompleted, stableId(r.id + "/" + kWorkCompleted), r.endedAt, "", "",
                                   [&](format::Json &j) {
                                       j.key("TransactionID"), j.str(r.id);
                                       j.key("PrimaryIdentifier"), j.str(r.serial);
                                       j.key("Result"), j.str(r.verdict == Verdict::Error ? "Aborted" : "Completed");
                                       j.key("Stage"), j.strOrNull(note);
                                       units(j, r.serial);
                                   })));
    return out;
}

std::string validateRequest(const Config &c, const std::string &serial, const std::string &requestId) {
    return envelope(c, kValidateRequest, requestId, results::nowUtc(), c.target, requestId, [&](format::Json &j) {
        j.key("Validations");
        j.open('[');
        j.str("UnitRouteValidation");
        j.close(']');
        j.key("PrimaryIdentifier"), j.str(serial);
        j.key("Units");
        j.open('[');
        j.open('{');
        j.key("UnitIdentifier"), j.str(serial);
        j.key("PositionNumber"), j.integer(1);
        j.close('}');
        j.close(']');
    });
}

std::string requestIdOf(const std::string &json) {
    nlohmann::json d = nlohmann::json::parse(json, nullptr, false);
    if (d.is_discarded() || !d.is_object()) return "";
    auto r = d.find("RequestID");
    return r != d.end() && r->is_string() ? r->get<std::string>() : "";
}

namespace {

std::string textAt(const nlohmann::json &o, const char *key) {
    auto v = o.find(key);
    if (v == o.end() || v->is_null()) return "";
    if (v->is_string()) return v->get<std::string>();
    return v->dump();
}

}  // namespace

bool readValidateResponse(const std::string &json, const std::string &serial, RouteAnswer *out, std::string *why) {
    nlohmann::json d = nlohmann::json::parse(json, nullptr, false);
    if (d.is_discarded() || !d.is_object()) {
        *why = "a malformed ValidateUnitsResponse (not a JSON object)";
        return false;
    }
    if (textAt(d, "MessageName") != kValidateResponse) {
        *why = "an answer that is not a ValidateUnitsResponse (MessageName " + textAt(d, "MessageName") + ")";
        return false;
    }
    auto body = d.find("MessageBody");
    if (body == d.end() || !body->is_object() || !body->contains("PrimaryResult") ||
        !(*body)["PrimaryResult"].is_object()) {
        *why = "a malformed ValidateUnitsResponse (no MessageBody.PrimaryResult)";
        return false;
    }
    const nlohmann::json &res = (*body)["Result"];
    if (res.is_object() && textAt(res, "Result") != "" && textAt(res, "Result") != "Success") {
        out->passed = false;
        out->reason = "the MES could not check the route: " + textAt(res, "Message");
        return true;
    }
    const nlohmann::json &p = (*body)["PrimaryResult"];
    std::string about = textAt(p, "UniqueIdentifier");
    if (about != serial) {
        *why = "a ValidateUnitsResponse for another serial (" + about + ")";
        return false;
    }
    std::string result = textAt(p, "Result");
    if (result == "Passed") {
        out->passed = true;
        out->reason = textAt(p, "Message");
        return true;
    }
    if (result != "Failed") {
        *why = "a malformed ValidateUnitsResponse (PrimaryResult.Result " + result + ")";
        return false;
    }
    out->passed = false;
    out->reason = textAt(p, "Message");
    std::string code = textAt(p, "FailureCode");
    if (!code.empty() && code != "0") out->reason += " (failure code " + code + ")";
    if (out->reason.empty()) out->reason = "refused without a reason";
    return true;
}

}  // namespace bus
