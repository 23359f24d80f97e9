// Helpers shared by the station tests.
#pragma once

#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include "station/args/args.h"
#include "station/args/command.h"
#include "station/link/output.h"
#include "station/runner/plan.h"
#include "station/link/transport.h"

// Parses one sub-command given as words, with station options accepted.
struct Parsed {
    station::ParseResult result;
    station::Action action;
    station::Options options;
    std::string error;
};

inline Parsed parseWords(std::initializer_list<const char *> words, bool withOptions = true) {
    std::vector<std::string> storage(words.begin(), words.end());
    std::vector<char *> argv;
    for (std::string &s : storage) argv.push_back(&s[0]);
    Parsed p;
    station::defaultOptions(&p.options);
    char err[station::kErrLen] = "";
    p.result = station::parseAction((int)argv.size(), argv.data(),
                                    withOptions ? &p.options : nullptr, &p.action, err,
                                    sizeof err);
    p.error = err;
    // The descriptor is static: nothing in it points into storage.
    return p;
}

inline std::vector<uint8_t> encodeWords(std::initializer_list<const char *> words) {
    Parsed p = parseWords(words);
    std::vector<uint8_t> out(kReqPayloadLen);
    if (p.result == station::ParseResult::Ok) encodeTestMsg(p.action.req, out.data(), out.size());
    return out;
}

// A step's typed argument as read: the value at the slot of its option
// (or, with option null, of its first positional argument).
template <class T>
const T &typedArg(const station::Action &a, const char *option) {
    for (const station::ArgDef &d : a.cmd->args)
        if (d.field == station::Field::Slot && (option ? d.option && std::string(d.option) == option : !d.option))
            return *reinterpret_cast<const T *>(a.stepArgs + d.slot);
    throw std::logic_error(std::string("no typed argument ") + (option ? option : "(positional)"));
}

// The sub-commands that stand for a request code of the command table.
inline std::vector<const station::Command *> wireCommands() {
    size_t n = 0;
    const station::Command *all = station::commands(&n);
    std::vector<const station::Command *> out;
    for (size_t i = 0; i < n; ++i)
        if (all[i].kind == station::ActionKind::Send && all[i].code >= 0) out.push_back(&all[i]);
    return out;
}
