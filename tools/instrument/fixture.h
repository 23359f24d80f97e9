// The fixture of a station: which tester, in which dialect, and for each
// unit (by the station's interface to it) the tester port its RF cable
// goes to and that path's loss.  A TOML file; docs/tester.md gives the
// format:
//
//   [tester]
//   resource = "TCPIP::198.18.255.1::5025::SOCKET"
//   profile = "simtester.toml"        # relative to this file
//   [units.eth1]
//   port = 1
//   loss = [[2412, 1.20], [2484, 1.45], [5180, 2.90]]   # MHz, dB
//
// Every figure the station reports is at the unit's port: a measured level
// is raised by the loss, a generator level too.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "instrument/profile.h"
#include "instrument/scpi.h"

namespace instrument {

// Loss in dB against frequency in MHz: linear between points, held at the
// first and last point outside them.
struct PathLoss {
    std::vector<std::pair<double, double>> points;  // (MHz, dB), MHz strictly rising

    double at(double mhz) const;
    // What the generator must send for dbmAtUnit to reach the unit.
    double sourceLevel(double dbmAtUnit, double mhz) const { return dbmAtUnit + at(mhz); }
    // The unit's level from what the analyser measured.
    double atUnit(double measuredDbm, double mhz) const { return measuredDbm + at(mhz); }
};

struct FixtureUnit {
    std::string iface;
    int port = 0;
    PathLoss loss;
};

struct Fixture {
    std::string path;
    Resource tester;
    std::string profilePath;  // resolved against the fixture's directory
    Profile profile;
    std::vector<FixtureUnit> units;

    // The unit on this interface, or null.
    const FixtureUnit *unit(const std::string &iface) const;
};

// Reads the fixture and the profile it names; false with *err naming the
// file and the key at fault.
bool loadFixture(const std::string &path, Fixture *out, std::string *err);
bool parseFixture(const std::string &text, const std::string &path, Fixture *out, std::string *err);

// ---- rewriting one unit's loss table (fixture_write.cpp) -------------------

// Whether the fixture can be replaced atomically: a regular file (not a
// link) in a directory this process may write (the new file is made
// beside it and renamed over it).  False with *err naming the file.
bool canRewriteFixture(const std::string &path, std::string *err);
// The fixture text with the loss of units.IFACE replaced by points, every
// other line (other units, comments, the tester) kept as it was; false
// with *err ("FILE:LINE: ...") when the unit's table or its loss cannot be
// found or the result does not read back as that loss.
bool replaceLossText(const std::string &text, const std::string &path, const std::string &iface,
                     const std::vector<std::pair<double, double>> &points, std::string *out,
                     std::string *err);
// replaceLossText on the file, written atomically: a temporary file in the
// same directory, fsync, rename over the fixture, fsync of the directory.
// A crash leaves the old file or the new one, never half of one.  The
// new file keeps the old one's group and mode, and its owner where this
// process may give it (root); a group it cannot keep is refused, the
// file as it was.
bool rewriteFixtureLoss(const std::string &path, const std::string &iface,
                        const std::vector<std::pair<double, double>> &points, std::string *err);

}  // namespace instrument
