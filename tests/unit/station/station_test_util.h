// Helpers shared by the station tests.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "station/station.h"

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
    // The word points into the static tables, not into storage.
    return p;
}

inline std::vector<uint8_t> encodeWords(std::initializer_list<const char *> words) {
    Parsed p = parseWords(words);
    std::vector<uint8_t> out(kReqPayloadLen);
    if (p.result == station::ParseResult::Ok) station::encodeRequest(p.action.req, out.data());
    return out;
}
