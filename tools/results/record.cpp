// Records: verdict rules, record ids, plan hashes, times and validation.
#include "results/record.h"

#include "format/text.h"

#include <openssl/evp.h>
#include <sys/random.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <system_error>

namespace results {

std::optional<Verdict> verdictFromName(const std::string &s) {
    Verdict v;
    if (!station::verdictFromName(s.c_str(), &v)) return std::nullopt;
    return v;
}

// ---- verdict rules: the station's, applied to a record ---------------------

Verdict measurementVerdict(const Measurement &m) {
    return station::limitVerdict(m.value, m.low.has_value(), m.low.value_or(0), m.high.has_value(),
                                 m.high.value_or(0));
}

Verdict stepVerdict(const Step &s) {
    bool failed = false;
    for (const Measurement &m : s.measurements) failed = failed || measurementVerdict(m) == Verdict::Fail;
    return station::stepVerdict(!s.error.empty(), failed);
}

Verdict recordVerdict(const std::vector<Step> &steps) {
    size_t failed = 0, erred = 0;
    for (const Step &s : steps) {
        Verdict v = stepVerdict(s);
        failed += v == Verdict::Fail;
        erred += v == Verdict::Error;
    }
    return station::planVerdict(steps.size(), failed, erred);
}

void applyVerdicts(Record *r) {
    for (Step &s : r->steps) {
        for (Measurement &m : s.measurements) m.verdict = measurementVerdict(m);
        s.verdict = stepVerdict(s);
    }
    r->verdict = recordVerdict(r->steps);
}

// ---- identities, hashes, times ---------------------------------------------

std::string newRecordId() {
    uint8_t b[16];
    size_t got = 0;
    while (got < sizeof b) {
        ssize_t n = getrandom(b + got, sizeof b - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "reading random bytes for a record id");
        }
        got += (size_t)n;
    }
    b[6] = (uint8_t)((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = (uint8_t)((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    static const char hex[] = "0123456789abcdef";
    std::string id;
    for (int i = 0; i < 16; i++) {
        if (i == 4 || i == 6 || i == 8 || i == 10) id += '-';
        id += hex[b[i] >> 4];
        id += hex[b[i] & 15];
    }
    return id;
}

static bool isLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

bool isRecordId(const std::string &s) {
    if (s.size() != 36) return false;
    for (size_t i = 0; i < s.size(); i++) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? s[i] != '-' : !isLowerHex(s[i])) return false;
    }
    return true;
}

std::string sha256Hex(const std::string &bytes) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), md, &len, EVP_sha256(), nullptr) != 1 || len != 32)
        throw std::runtime_error("SHA-256 failed in libcrypto");
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < len; i++) {
        out += hex[md[i] >> 4];
        out += hex[md[i] & 15];
    }
    return out;
}

std::string formatUtc(int64_t unixMs) {
    int64_t secs = unixMs / 1000, ms = unixMs % 1000;
    if (ms < 0) {
        ms += 1000;
        secs -= 1;
    }
    time_t t = (time_t)secs;
    struct tm tm;
    gmtime_r(&t, &tm);
    char buf[80];
    snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
             tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, (int)ms);
    return buf;
}

std::string nowUtc() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return formatUtc((int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
}

static bool digitsAt(const std::string &s, size_t pos, size_t n) {
    for (size_t i = pos; i < pos + n; i++)
        if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
    return true;
}

static int numAt(const std::string &s, size_t pos, size_t n) {
    int v = 0;
    for (size_t i = pos; i < pos + n; i++) v = v * 10 + (s[i] - '0');
    return v;
}

bool isDay(const std::string &s) {
    if (s.size() != 10 || !digitsAt(s, 0, 4) || s[4] != '-' || !digitsAt(s, 5, 2) || s[7] != '-' ||
        !digitsAt(s, 8, 2))
        return false;
    int y = numAt(s, 0, 4), m = numAt(s, 5, 2), d = numAt(s, 8, 2);
    static const int days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 1 || m > 12 || d < 1 || d > days[m - 1]) return false;
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return !(m == 2 && d == 29 && !leap) && y >= 1970;
}

bool isUtcTime(const std::string &s) {
    // YYYY-MM-DDTHH:MM:SS.mmmZ
    return s.size() == 24 && isDay(s.substr(0, 10)) && s[10] == 'T' && digitsAt(s, 11, 2) &&
           numAt(s, 11, 2) < 24 && s[13] == ':' && digitsAt(s, 14, 2) && numAt(s, 14, 2) < 60 &&
           s[16] == ':' && digitsAt(s, 17, 2) && numAt(s, 17, 2) < 60 && s[19] == '.' &&
           digitsAt(s, 20, 3) && s[23] == 'Z';
}

// ---- validation --------------------------------------------------------------

static bool isAlnum(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

static void checkWord(const char *what, const std::string &s, size_t max) {
    if (s.empty()) throw InvalidInput(std::string(what) + " is empty");
    if (s.size() > max)
        throw InvalidInput(std::string(what) + " \"" + s.substr(0, 80) + "\" is longer than " +
                           std::to_string(max) + " characters");
    if (!isAlnum(s[0]))
        throw InvalidInput(std::string(what) + " \"" + s + "\" must start with a letter or digit");
    for (char c : s)
        if (!isAlnum(c) && c != '-' && c != '_' && c != '.')
            throw InvalidInput(std::string(what) + " \"" + s +
                               "\" may hold only letters A-Z a-z, digits, '-', '_' and '.'");
}

void validateSerial(const std::string &s) { checkWord("serial", s, kMaxSerial); }

void validateName(const char *what, const std::string &s) { checkWord(what, s, 64); }

static void checkKey(const char *what, const std::string &s) {
    if (s.empty() || s.size() > 64)
        throw InvalidInput(std::string(what) + " \"" + s.substr(0, 80) + "\" must be 1 to 64 characters");
    for (char c : s)
        if (!isAlnum(c) && c != '-' && c != '_' && c != '.')
            throw InvalidInput(std::string(what) + " \"" + s +
                               "\" may hold only letters A-Z a-z, digits, '-', '_' and '.'");
}

void validateMetaKey(const std::string &s) { checkKey("metadata key", s); }

void validateText(const char *what, const std::string &s) {
    if (s.size() > kMaxText)
        throw InvalidInput(std::string(what) + " is longer than " + std::to_string(kMaxText) + " bytes");
    for (size_t i = 0; i < s.size();) {
        size_t n = format::utf8Len(s, i);
        if (n == 0) throw InvalidInput(std::string(what) + " is not valid UTF-8");
        unsigned char c = (unsigned char)s[i];
        if (n == 1 && (c < 0x20 || c == 0x7F))
            throw InvalidInput(std::string(what) + " holds a control character");
        i += n;
    }
}

static bool isFinite(double d) { return std::isfinite(d); }

// A step's series: names as measurement names, each once; every row as wide
// as its columns and finite; within the bounds that keep a record small.
static void validateSeries(const std::string &at, const std::vector<Series> &series) {
    if (series.size() > kMaxSeriesPerStep)
        throw InvalidInput(at + ": more than " + std::to_string(kMaxSeriesPerStep) + " series");
    std::set<std::string> names;
    for (const Series &s : series) {
        checkKey("series name", s.name);
        if (!names.insert(s.name).second) throw InvalidInput(at + ": series " + s.name + " twice");
        std::string of = at + ": series " + s.name;
        if (s.columns.empty() || s.columns.size() > kMaxSeriesColumns)
            throw InvalidInput(of + " must have 1 to " + std::to_string(kMaxSeriesColumns) + " columns");
        if (s.rows.size() > kMaxSeriesRows)
            throw InvalidInput(of + " has more than " + std::to_string(kMaxSeriesRows) + " rows");
        std::set<std::string> columns;
        for (const SeriesColumn &c : s.columns) {
            checkKey("series column name", c.name);
            if (!columns.insert(c.name).second) throw InvalidInput(of + ": column " + c.name + " twice");
            validateText((of + " unit").c_str(), c.unit);
            if (c.unit.size() > 16) throw InvalidInput(of + ": the unit of " + c.name + " is longer than 16 bytes");
        }
        for (size_t k = 0; k < s.rows.size(); k++) {
            if (s.rows[k].size() != s.columns.size())
                throw InvalidInput(of + ": row " + std::to_string(k) + " has " + std::to_string(s.rows[k].size()) +
                                   " values for " + std::to_string(s.columns.size()) + " columns");
            for (double v : s.rows[k])
                if (!std::isfinite(v)) throw InvalidInput(of + ": row " + std::to_string(k) + " holds a value that is not a number");
        }
    }
}

void validateRecord(const Record &r) {
    if (!isRecordId(r.id)) throw InvalidInput("record id \"" + r.id + "\" is not a lower-case UUID");
    validateSerial(r.serial);
    validateName("station name", r.station);
    validateText("operator", r.operatorName);
    for (const auto &kv : r.metadata) {
        validateMetaKey(kv.first);
        validateText(("metadata value of " + kv.first).c_str(), kv.second);
    }
    if (r.planName.empty()) throw InvalidInput("plan name is empty");
    validateText("plan name", r.planName);
    if (r.planSha256.size() != 64 ||
        r.planSha256.find_first_not_of("0123456789abcdef") != std::string::npos)
        throw InvalidInput("plan hash is not a lower-case hex SHA-256");
    if (!isUtcTime(r.startedAt)) throw InvalidInput("start time \"" + r.startedAt + "\" is not UTC ISO 8601");
    if (!isUtcTime(r.endedAt)) throw InvalidInput("end time \"" + r.endedAt + "\" is not UTC ISO 8601");
    if (r.endedAt < r.startedAt) throw InvalidInput("end time is before start time");
    for (size_t i = 0; i < r.steps.size(); i++) {
        const Step &s = r.steps[i];
        std::string at = "step " + std::to_string(i) + " (line " + std::to_string(s.line) + ")";
        if (s.line < 1) throw InvalidInput(at + ": line number must be 1 or more");
        if (s.command.empty()) throw InvalidInput(at + ": no command");
        validateText((at + " command").c_str(), s.command);
        for (const std::string &a : s.args) {
            validateText((at + " argument").c_str(), a);
            if (a.empty() || a.find(' ') != std::string::npos)
                throw InvalidInput(at + ": an argument is empty or holds a blank");
        }
        validateText((at + " error").c_str(), s.error);
        if (!isUtcTime(s.startedAt)) throw InvalidInput(at + ": start time is not UTC ISO 8601");
        if (!isFinite(s.durationS) || s.durationS < 0) throw InvalidInput(at + ": bad duration");
        for (const Exchange &e : s.exchanges) {
            if (e.attempts < 1) throw InvalidInput(at + ": an exchange without an attempt");
            if (e.reply) validateText((at + " reply sender").c_str(), e.reply->from);
        }
        std::set<std::string> names;
        for (const Measurement &m : s.measurements) {
            checkKey("measurement name", m.name);
            if (!names.insert(m.name).second) throw InvalidInput(at + ": measurement " + m.name + " twice");
            if (!isFinite(m.value)) throw InvalidInput(at + ": measurement " + m.name + " is not a number");
            if ((m.low && !isFinite(*m.low)) || (m.high && !isFinite(*m.high)))
                throw InvalidInput(at + ": a limit of " + m.name + " is not a number");
            if (m.low && m.high && *m.low > *m.high)
                throw InvalidInput(at + ": low limit of " + m.name + " is above its high limit");
            if (m.verdict != measurementVerdict(m))
                throw InvalidInput(at + ": verdict of " + m.name + " does not match its limits");
        }
        validateSeries(at, s.series);
        if (s.verdict != stepVerdict(s)) throw InvalidInput(at + ": step verdict does not match its data");
    }
    if (r.verdict != recordVerdict(r.steps))
        throw InvalidInput("record verdict does not match its steps");
}

}  // namespace results
