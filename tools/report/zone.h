// Days in a time zone: the report counts a record on the day its start falls
// on in the PC's time zone, or in the zone --tz names.  The C library's own
// zone handling does the work (TZ, tzset, localtime_r, mktime), so the
// process's TZ is set to the chosen zone for the rest of its life: the
// report is a short single-threaded command.
#pragma once

#include <cstdint>
#include <string>

namespace report {

class Zone {
  public:
    // name: an IANA zone name ("Europe/Berlin", "UTC") as found in the
    // zoneinfo directory ($TZDIR, else /usr/share/zoneinfo), or a POSIX TZ
    // rule ("CET-1CEST,M3.5.0,M10.5.0/3"); empty: the PC's
    // zone ($TZ, else /etc/localtime, else UTC).  Throws results::InvalidInput
    // for a zone the system does not know (the C library would silently
    // take UTC for it).
    static Zone select(const std::string &name);

    // The zone's name as shown in reports; "UTC" for every alias of UTC.
    const std::string &name() const { return name_; }
    bool isUtc() const { return utc_; }

    // "YYYY-MM-DD": the day unixMs falls on in this zone.
    std::string dayOf(int64_t unixMs) const;
    // "YYYY-MM-DD HH:MM": the minute unixMs falls on in this zone.
    std::string timeOf(int64_t unixMs) const;
    // The first millisecond of day ("YYYY-MM-DD", checked by the caller) in
    // this zone, as Unix milliseconds.
    int64_t startOfDay(const std::string &day) const;

  private:
    std::string name_;
    bool utc_ = false;
};

// "YYYY-MM-DDTHH:MM:SS.mmmZ" as Unix milliseconds; false for any other text.
bool parseUtcMs(const std::string &s, int64_t *ms);
// The day after "YYYY-MM-DD".
std::string nextDay(const std::string &day);

}  // namespace report
