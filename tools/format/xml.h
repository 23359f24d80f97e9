// The one XML writer and the JUnit XML document built on it.
//
// Text and attribute values are escaped by one rule: & < > " ' as entity
// references, TAB, LF and CR as character references (so that attribute
// values keep them), other valid UTF-8 as it is.  XML 1.0 cannot carry the
// other control characters, U+FFFE or U+FFFF at all, not even escaped:
// they become U+FFFD, as does each byte that is not valid UTF-8.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace format {

void xmlText(std::string *out, std::string_view s);
// ' name="value"'
void xmlAttr(std::string *out, std::string_view name, std::string_view value);

// ---- JUnit XML ---------------------------------------------------------------

struct JunitCase {
    enum Outcome { Pass, Failure, Error };
    std::string name;
    std::string classname;
    double seconds = 0;
    Outcome outcome = Pass;
    std::string message;  // Failure/Error: the message attribute
    std::string type;     // Failure/Error: the type attribute
    // Failure/Error: the element's text; Pass: <system-out> (none if empty).
    std::string detail;
};

struct JunitSuite {
    std::string name;
    double seconds = 0;
    std::string timestamp;  // ISO 8601 without a zone
    std::string hostname;
    std::string id;
    std::vector<std::pair<std::string, std::string>> properties;
    std::vector<JunitCase> cases;
};

// One <testsuites> document; counts of tests, failures and errors come
// from the cases, times have three decimals (a negative or non-finite time
// is 0.000).
std::string junitXml(const std::vector<JunitSuite> &suites);

}  // namespace format
