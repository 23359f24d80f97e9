// Reading a measurement out of a tester's reply: testers answer a fetch
// with several fields ("0,+1.674157E+01": a status, then the value) and in
// units of their own (EVM in %, frequency error in Hz).  A profile says,
// per measurement, which field holds the value, which one is a status and
// what it must be, and the reply's unit; this turns the reply into the
// figure the station records, in the record's unit, or into an error.
#pragma once

#include <string>
#include <vector>

#include "instrument/scpi.h"

namespace instrument {

enum class Unit { Dbm, Db, Percent, Hz, KHz, MHz, Ppm };

// "dBm", "dB", "%", "Hz", "kHz", "MHz", "ppm" (exactly so).
bool parseUnit(const std::string &name, Unit *out);
const char *unitName(Unit u);
// Can a reply in `from` be recorded in `to`?  (% -> dB, Hz/kHz/MHz -> ppm,
// and a unit to itself.)
bool convertible(Unit from, Unit to);

struct ReplyFormat {
    std::string separator;        // empty: the whole reply is the value
    int field = 0;                // the value's field, counted from 0
    int statusField = -1;         // -1: no status field
    std::vector<std::string> valid;  // status values that mean a valid measurement
    Unit unit = Unit::Dbm;        // the reply's unit
    Unit recorded = Unit::Dbm;    // the record's unit for this measurement
    int timeoutMs = 0;            // 0: the profile's timeout_ms
};

// The reply's value in the record's unit.  centreMhz: the channel's
// centre (Hz -> ppm needs it; 0: none).  On failure *fault is BadReply
// (too few fields, not a number), NotANumber (9.91E37) or Instrument (a
// status outside the valid set, or a value the conversion cannot take),
// and *why says which, quoting the reply.
bool readValue(const std::string &reply, const ReplyFormat &f, double centreMhz, double *out, Fault *fault,
               std::string *why);

// A reply field equals an expected text: as text, or as numbers when both
// are numbers ("+0" is "0", "1.0E+00" is "1").
bool sameReply(const std::string &got, const std::string &want);

}  // namespace instrument
