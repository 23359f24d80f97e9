// A tester's dialect: the SCPI it is sent for each operation the station
// needs, read from a profile file (TOML) so that another tester needs a new
// profile, not new code.  docs/tester.md describes the format; the profile
// of the simulated tester is sim/simtester.toml.
//
//   timeout_ms = 3000                 # each exchange (optional)
//   connect_timeout_ms = 2000         # optional
//   error_query = "SYST:ERR?"         # optional
//   max_errors = 32                   # queue entries read at most (optional)
//   frames_per_second = 1000          # the generator's slowest frame rate
//   [operations]
//   reset = ["*RST", "*CLS"]
//   select_port = "ROUT:PORT {port}"
//   ...
//
// An operation is one command or a list of them; a command whose header
// ends in '?' is a query.  {name} is a parameter, {{ and }} are braces.
// Each operation takes only its own parameters (see kOps); an unknown
// operation, a missing one (abort alone may be left out) or an unknown
// parameter is refused at load.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace instrument {

enum class Op {
    Reset,             // (none)
    SelectPort,        // {port}
    AnalyserSetup,     // {freq_mhz} {bw_mhz} {level_dbm}
    MeasurePower,      // the analyser's parameters; ends in a query: dBm
    MeasureEvm,        // the same; a query: dB
    MeasureFreqError,  // the same; a query: ppm
    GeneratorSetup,    // {freq_mhz} {bw_mhz} {level_dbm} {rate}
    SendFrames,        // {frames}, and the generator's; ends in a query
                       // answered when the frames are sent
    Abort,             // (none; optional) ends a capture or a burst when a
                       // unit is stopped mid-operation
};
constexpr int kOpCount = 9;

const char *opKey(Op op);  // "analyser_setup"

// A parameter's value, already formatted as sent.
using Params = std::vector<std::pair<std::string, std::string>>;

struct Profile {
    std::string path;   // as given to loadProfile
    int timeoutMs = 3000;
    int connectTimeoutMs = 2000;
    std::string errorQuery = "SYST:ERR?";
    int maxErrors = 32;
    double framesPerSecond = 1000;
    std::vector<std::string> ops[kOpCount];

    const std::vector<std::string> &commands(Op op) const { return ops[(int)op]; }
};

// Reads and checks a profile.  false with *err naming the file and the key.
bool loadProfile(const std::string &path, Profile *out, std::string *err);
// The same from text (name: what messages call it).
bool parseProfile(const std::string &text, const std::string &name, Profile *out, std::string *err);

// The command with every {name} replaced (the template was checked at
// load; a name missing from p is left empty).
std::string expand(const std::string &tmpl, const Params &p);

// Is this command a query (its header ends in '?')?
bool isQuery(const std::string &cmd);

// Numbers as sent: shortest decimal, no exponent ("2437", "-65.5").
std::string formatNumber(double v);

}  // namespace instrument
