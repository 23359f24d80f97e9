// Who may ask the operator page for what, decided from the request's own
// lines as they arrive: a wrong token in the address is refused on the
// request line, a foreign Host or a wrong token header on its own line, so
// that a client without the token holds nothing while it sends the rest.
// The parsed request is checked again in full (check()) before any
// handler runs; the early refusals only come sooner.
#pragma once

#include <cstddef>
#include <map>
#include <string>

namespace serve {

// The bounds of one request.
constexpr size_t kTargetLimit = 2048;  // the request line's target (414)
constexpr size_t kHeaderLimit = 8192;  // request line and header lines (431)
constexpr size_t kMaxHeaderLines = 64;  // (431)
constexpr size_t kBodyLimit = 4096;    // a form is a unit and a serial (413)

// A refusal: its HTTP status and what the page shows; status 0 is none.
struct Refusal {
    int status = 0;
    std::string why;
    explicit operator bool() const { return status != 0; }
};

// The parts of a request the rules look at.
struct RequestView {
    std::string method, target, host;
    bool hasHost = false, hasTokenHeader = false;
    std::string tokenHeader;
};

class Gate {
  public:
    // token: empty when none is required (a station on 127.0.0.1).
    explicit Gate(const std::string &token) : token_(token) {}

    // Takes the request's bytes as they arrive, each once and in order,
    // however the network split them, and looks at each line of the head
    // once it is complete.  Bytes after the head's end are not looked at.
    Refusal feed(const char *data, size_t size);
    // The rules on the whole parsed request.
    Refusal check(const RequestView &r) const;

  private:
    Refusal line(const std::string &text);
    const std::string &token_;
    std::string partial_;  // the line being received, up to its LF
    size_t seen_ = 0;      // bytes of the head received, its lines and the partial one
    size_t lines_ = 0;     // lines looked at
    bool done_ = false;    // the head's end has been received
};

// How many connections the page holds, in all and from each address
// (one address cannot take them all).
class Admission {
  public:
    Admission(size_t total, size_t perClient) : total_(total), perClient_(perClient) {}
    // Counts a connection from client; false (nothing counted) when it is
    // one too many.
    bool admit(const std::string &client);
    // A connection admitted from client has ended.
    void leave(const std::string &client);
    size_t open() const { return open_; }

  private:
    size_t total_, perClient_, open_ = 0;
    std::map<std::string, size_t> from_;
};

// Constant-time comparison of a request's token with the station's.
bool tokenMatches(const std::string &given, const std::string &token);
// "127.0.0.1", "localhost", either with a port.
bool loopbackHost(const std::string &host);
// The value of key in a query or form ("a=1&b=2", %XX and + decoded);
// false when absent.
bool formValue(const std::string &text, const std::string &key, std::string *value);
// The target's path and query ("/events?token=x" -> "/events", "token=x").
void splitTarget(const std::string &target, std::string *path, std::string *query);

}  // namespace serve
