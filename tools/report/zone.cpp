// Days in a time zone through the C library (TZ, tzset, localtime_r, mktime).
#include "report/zone.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <unistd.h>

#include "results/record.h"

namespace report {

namespace {

bool isUtcAlias(const std::string &n) {
    static const char *const kAliases[] = {"UTC",       "Etc/UTC",  "UCT",     "Etc/UCT",
                                           "Universal", "Etc/Universal", "Zulu", "Etc/Zulu",
                                           "GMT",       "Etc/GMT",  "GMT0",    "Etc/GMT0",
                                           "GMT+0",     "GMT-0",    "Etc/GMT+0", "Etc/GMT-0",
                                           "Greenwich", "Etc/Greenwich"};
    for (const char *a : kAliases)
        if (n == a) return true;
    return false;
}

// A zone file is a TZif file in the zoneinfo directory.  Names with ".."
// are refused: --tz names a zone, not any file.
bool isZoneFile(const std::string &name) {
    if (name.empty() || name.find("..") != std::string::npos) return false;
    std::string path = name;
    if (name[0] != '/') {
        const char *dir = getenv("TZDIR");
        path = std::string(dir && *dir ? dir : "/usr/share/zoneinfo") + "/" + name;
    }
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return false;
    char magic[4] = {};
    bool ok = fread(magic, 1, 4, f) == 4 && memcmp(magic, "TZif", 4) == 0;
    fclose(f);
    return ok;
}

// A POSIX TZ rule the C library reads itself: "CET-1CEST,M3.5.0,M10.5.0/3",
// "EST5EDT", "<+0530>-5:30".
bool isPosixRule(const std::string &s) {
    static const std::regex rule(
        "(?:[A-Za-z]{3,}|<[A-Za-z0-9+-]{3,}>)[+-]?[0-9]{1,2}(?::[0-9]{2}){0,2}"
        "(?:(?:[A-Za-z]{3,}|<[A-Za-z0-9+-]{3,}>)(?:[+-]?[0-9]{1,2}(?::[0-9]{2}){0,2})?"
        "(?:,(?:M[0-9]{1,2}\\.[0-9]\\.[0-9]|J?[0-9]{1,3})(?:/[+-]?[0-9]{1,3}(?::[0-9]{2}){0,2})?){2})?");
    return std::regex_match(s, rule);
}

void useTz(const char *value) {
    if (value)
        setenv("TZ", value, 1);
    else
        unsetenv("TZ");
    tzset();
}

}  // namespace

Zone Zone::select(const std::string &requested) {
    Zone z;
    std::string name = requested;
    const char *what = "--tz";
    if (name.empty()) {
        const char *env = getenv("TZ");
        if (env && *env) {
            name = env[0] == ':' ? env + 1 : env;
            what = "TZ";
        }
    }
    if (name.empty()) {
        // The PC's own zone: /etc/localtime, usually a link into zoneinfo.
        useTz(nullptr);
        char link[PATH_MAX];
        ssize_t n = readlink("/etc/localtime", link, sizeof link - 1);
        if (n > 0) {
            link[n] = 0;
            const char *p = strstr(link, "zoneinfo/");
            z.name_ = p ? p + strlen("zoneinfo/") : link;
        } else {
            z.name_ = access("/etc/localtime", R_OK) == 0 ? "localtime" : "UTC";
        }
        z.utc_ = isUtcAlias(z.name_);
        if (z.utc_) z.name_ = "UTC";
        return z;
    }
    if (isUtcAlias(name)) {
        useTz("UTC0");
        z.name_ = "UTC";
        z.utc_ = true;
        return z;
    }
    if (!isZoneFile(name) && !isPosixRule(name)) {
        if (what == std::string("TZ"))
            throw results::InvalidInput("the environment's TZ=" + name +
                                        " is not a time zone this system knows; give --tz ZONE "
                                        "(a name such as Europe/Berlin or UTC)");
        throw results::InvalidInput(std::string(what) + " " + name +
                                    " is not a time zone this system knows (a name such as "
                                    "Europe/Berlin or UTC, from /usr/share/zoneinfo)");
    }
    useTz(name.c_str());
    z.name_ = name;
    return z;
}

namespace {

struct tm fieldsOf(int64_t unixMs, bool utc) {
    int64_t secs = unixMs / 1000;
    if (unixMs % 1000 < 0) secs--;
    time_t t = (time_t)secs;
    struct tm tm;
    if (utc)
        gmtime_r(&t, &tm);
    else
        localtime_r(&t, &tm);
    return tm;
}

}  // namespace

std::string Zone::dayOf(int64_t unixMs) const {
    struct tm tm = fieldsOf(unixMs, utc_);
    char buf[32];
    snprintf(buf, sizeof buf, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return buf;
}

std::string Zone::timeOf(int64_t unixMs) const {
    struct tm tm = fieldsOf(unixMs, utc_);
    char buf[48];
    snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
             tm.tm_hour, tm.tm_min);
    return buf;
}

int64_t Zone::startOfDay(const std::string &day) const {
    struct tm tm = {};
    tm.tm_year = atoi(day.substr(0, 4).c_str()) - 1900;
    tm.tm_mon = atoi(day.substr(5, 2).c_str()) - 1;
    tm.tm_mday = atoi(day.substr(8, 2).c_str());
    tm.tm_isdst = -1;
    // Where midnight does not exist (a clock change at 00:00) mktime moves
    // it forward: still the first instant of that day.
    time_t t = utc_ ? timegm(&tm) : mktime(&tm);
    return (int64_t)t * 1000;
}

bool parseUtcMs(const std::string &s, int64_t *ms) {
    if (!results::isUtcTime(s)) return false;
    struct tm tm = {};
    tm.tm_year = atoi(s.substr(0, 4).c_str()) - 1900;
    tm.tm_mon = atoi(s.substr(5, 2).c_str()) - 1;
    tm.tm_mday = atoi(s.substr(8, 2).c_str());
    tm.tm_hour = atoi(s.substr(11, 2).c_str());
    tm.tm_min = atoi(s.substr(14, 2).c_str());
    tm.tm_sec = atoi(s.substr(17, 2).c_str());
    *ms = (int64_t)timegm(&tm) * 1000 + atoi(s.substr(20, 3).c_str());
    return true;
}

std::string nextDay(const std::string &day) {
    struct tm tm = {};
    tm.tm_year = atoi(day.substr(0, 4).c_str()) - 1900;
    tm.tm_mon = atoi(day.substr(5, 2).c_str()) - 1;
    tm.tm_mday = atoi(day.substr(8, 2).c_str()) + 1;
    time_t t = timegm(&tm);
    struct tm out;
    gmtime_r(&t, &out);
    char buf[32];
    snprintf(buf, sizeof buf, "%04d-%02d-%02d", out.tm_year + 1900, out.tm_mon + 1, out.tm_mday);
    return buf;
}

}  // namespace report
