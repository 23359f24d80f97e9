// The one JSON writer (RFC 8259).  Every string, keys included, is escaped
// by one rule: '"', '\\' and the control characters U+0000..U+001F and
// U+007F as escapes, other valid UTF-8 as it is, and each byte that is not
// valid UTF-8 as \ufffd, so that the document always parses.  Numbers are
// written by format::number (locale-free, shortest round trip); a number
// that is not finite is null.
//
//     format::Json j;                     // compact: one line
//     j.open('{');
//     j.key("serial"), j.str(serial);
//     j.key("count"), j.integer(n);
//     j.close('}');
//     puts(j.done().c_str());
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace format {

// s as a JSON string, quotes included, appended to out.
void jsonString(std::string *out, std::string_view s);

class Json {
  public:
    // pretty: two-space indentation and a final newline from done();
    // otherwise one line without a newline.
    explicit Json(bool pretty = false) : pretty_(pretty) {}

    // c is '{' or '['.  flat: in pretty output, the container and what it
    // holds stay on one line.
    void open(char c, bool flat = false);
    void close(char c);  // '}' or ']'
    void key(std::string_view k);
    void str(std::string_view s);
    void strOrNull(std::string_view s);  // empty: null
    void num(double d);
    void integer(int64_t v);
    void boolean(bool b);
    void null();
    // Text that is already JSON (a nested document of ours).
    void raw(std::string_view json);
    // The document; in pretty output with its final newline.
    std::string done();

  private:
    void newline();
    void item();

    std::string out_;
    bool pretty_;
    int depth_ = 0;
    int flat_ = 0;
    bool first_ = true;
    bool afterKey_ = false;
};

}  // namespace format
