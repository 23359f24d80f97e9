// The commands of a profile are templates: {name} is a parameter, {{ and
// }} are braces.  A parameter may carry a sum, {level_dbm + 10} (numbers
// only: a reference level with headroom), or go through one of the
// profile's maps, {rate|waveform} (a tester that names its waveforms).
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace instrument {

// A parameter's value, already formatted as sent.
using Params = std::vector<std::pair<std::string, std::string>>;
// The profile's maps: name -> (a parameter's value as formatted -> what is sent).
using Maps = std::map<std::string, std::map<std::string, std::string>>;

// One {...} of a template.
struct TemplateRef {
    std::string name;  // the parameter
    std::string map;   // through this map (empty: none)
    double add = 0;    // the sum's numbers
    bool sum = false;
};

// Checks a template: balanced braces, no line end, not empty, and each
// reference a parameter of `allowed`, a sum of one and numbers, or one
// through a map of `maps`.  *why says what is wrong.
bool checkTemplate(const std::string &t, const std::vector<std::string> &allowed, const Maps &maps,
                   std::string *why);

// The references of a checked template, in order.
std::vector<TemplateRef> templateRefs(const std::string &t);

// The command with each reference replaced; false with *why when a
// parameter is missing from p or its value from the map.
bool expandCommand(const std::string &t, const Params &p, const Maps &maps, std::string *out, std::string *why);

// Numbers as sent: at most 3 decimals, none trailing, no exponent
// ("2437", "-65.5", "-82.731").
std::string formatNumber(double v);

}  // namespace instrument
