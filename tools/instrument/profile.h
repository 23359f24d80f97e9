// A tester's dialect: the SCPI it is sent for each operation the station
// needs, and how its replies read, from a profile file (TOML), so that
// another tester needs a new profile, not new code.  docs/tester.md
// describes the format; the shipped profiles are sim/simtester.toml (our
// simulated tester) and sim/labtester.toml (a lab tester's dialect).
//
//   format = 2                        # 1 when left out: no key below the line
//   timeout_ms = 3000                 # each exchange (optional)
//   connect_timeout_ms = 2000         # optional
//   error_query = "SYST:ERR?"         # optional
//   max_errors = 32                   # queue entries read at most (optional)
//   frames_per_second = 1000          # the generator's slowest frame rate
//   clear = "*CLS"                    # sent at connect ("" for none; optional)
//   ---- format 2 only ----
//   reset_at_start = true             # reset on every new connection
//   trigger_timeout_ms = 5000         # the trigger's last query
//   [operations]
//   reset = ["*RST", "*CLS"]
//   select_port = "ROUT:PORT {port}"
//   trigger = ["INIT:WLAN", "*OPC?"]  # after the unit transmits (optional)
//   ...
//   [poll]                            # after the trigger (optional)
//   query = "STAT:WLAN?"   until = "RDY"   interval_ms = 20   deadline_ms = 5000
//   [measurements.evm]                # how a fetch's reply reads (optional)
//   separator = ","  status_field = 0  valid_status = ["0"]  value_field = 1
//   unit = "%"  timeout_ms = 4000
//   [maps.waveform]                   # {rate|waveform}
//   0 = "DSSS-1"
//
// An operation is one command or a list of them; a command whose header
// ends in '?' is a query.  command_template.h says what {...} may hold.
// Each operation takes only its own parameters (see kOps); an unknown
// operation, a missing one (abort and trigger may be left out) or an
// unknown parameter is refused at load, with the file, the key and the
// line.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "instrument/command_template.h"
#include "instrument/reply.h"

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
    Trigger,           // the analyser's parameters (optional): starts a
                       // capture once the unit transmits, before the
                       // measurements fetch its results
};
constexpr int kOpCount = 10;

const char *opKey(Op op);  // "analyser_setup"

// A query sent until its reply matches, before the measurements.
struct Poll {
    std::string query;  // empty: no poll
    std::string until;  // the reply that ends it (sameReply)
    int intervalMs = 50;
    int deadlineMs = 0;
};

struct Profile {
    std::string path;   // as given to loadProfile
    int format = 1;
    int timeoutMs = 3000;
    int connectTimeoutMs = 2000;
    std::string errorQuery = "SYST:ERR?";
    int maxErrors = 32;
    double framesPerSecond = 1000;
    std::string clear = "*CLS";
    bool resetAtStart = false;
    int triggerTimeoutMs = 0;  // 0: timeout_ms
    Poll poll;
    ReplyFormat replies[3];  // measure_power, measure_evm, measure_freq_error
    Maps maps;
    std::vector<std::string> ops[kOpCount];

    const std::vector<std::string> &commands(Op op) const { return ops[(int)op]; }
    const ReplyFormat &reply(Op op) const { return replies[(int)op - (int)Op::MeasurePower]; }
    // Can every operation send this value of a parameter?  false with
    // *why when an operation sends it through a map that lacks it (a plan
    // checks its rates so, before anything is sent).
    bool canSend(const std::string &param, const std::string &value, std::string *why) const;
};

// Reads and checks a profile.  false with *err naming the file and the key.
bool loadProfile(const std::string &path, Profile *out, std::string *err);
// The same from text (name: what messages call it).
bool parseProfile(const std::string &text, const std::string &name, Profile *out, std::string *err);

// The command with every {name} replaced, maps left out (the template was
// checked at load; a name missing from p is left empty).
std::string expand(const std::string &tmpl, const Params &p);

// Is this command a query (its header ends in '?')?
bool isQuery(const std::string &cmd);

}  // namespace instrument
