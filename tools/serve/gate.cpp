// Who may ask the operator page for what (see gate.h).
#include "serve/gate.h"

#include <strings.h>

#include <cstring>

namespace serve {

namespace {

const char kWantsToken[] = "this station wants its token: open the address that rfprobe serve printed";
const char kWantsLoopback[] = "open the page as http://127.0.0.1:PORT/";
const char kPostFromPage[] = "start and stop come from the operator page";

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string decoded(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        int hi, lo;
        if (s[i] == '+')
            out += ' ';
        else if (s[i] == '%' && i + 2 < s.size() && (hi = hexDigit(s[i + 1])) >= 0 &&
                 (lo = hexDigit(s[i + 2])) >= 0)
            out += (char)(hi * 16 + lo), i += 2;
        else
            out += s[i];
    }
    return out;
}

std::string trimmed(const std::string &s) {
    size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

}  // namespace

bool Admission::admit(const std::string &client) {
    auto it = from_.find(client);
    if (open_ >= total_ || (it != from_.end() && it->second >= perClient_)) return false;
    ++open_;
    ++from_[client];
    return true;
}

void Admission::leave(const std::string &client) {
    auto it = from_.find(client);
    if (it == from_.end()) return;
    --open_;
    if (--it->second == 0) from_.erase(it);
}

bool tokenMatches(const std::string &given, const std::string &token) {
    unsigned diff = given.size() != token.size();
    for (size_t i = 0; i < token.size(); ++i)
        diff |= (unsigned char)token[i] ^ (unsigned char)(i < given.size() ? given[i] : 0);
    return diff == 0;
}

bool loopbackHost(const std::string &host) {
    size_t colon = host.rfind(':');
    std::string h = host.substr(0, colon == std::string::npos ? host.size() : colon);
    return h == "127.0.0.1" || h == "localhost";
}

bool formValue(const std::string &text, const std::string &key, std::string *value) {
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find('&', at);
        if (end == std::string::npos) end = text.size();
        std::string pair = text.substr(at, end - at);
        size_t eq = pair.find('=');
        if (decoded(pair.substr(0, eq)) == key) {
            *value = eq == std::string::npos ? "" : decoded(pair.substr(eq + 1));
            return true;
        }
        at = end + 1;
    }
    return false;
}

void splitTarget(const std::string &target, std::string *path, std::string *query) {
    size_t q = target.find('?');
    *path = target.substr(0, q);
    *query = q == std::string::npos ? "" : target.substr(q + 1);
}

Refusal Gate::feed(const char *data, size_t size) {
    for (size_t at = 0; at < size && !done_;) {
        const char *nl = (const char *)memchr(data + at, '\n', size - at);
        size_t len = nl ? (size_t)(nl - (data + at)) : size - at;
        // The head's bound counts from its first byte, whatever the
        // network did to it.
        seen_ += len + (nl ? 1 : 0);
        if (seen_ > kHeaderLimit) return {431, "the request's head is too large"};
        partial_.append(data + at, len);
        at += len + (nl ? 1 : 0);
        if (!nl) break;
        std::string text;
        text.swap(partial_);
        if (!text.empty() && text.back() == '\r') text.pop_back();
        if (text.empty() && lines_ > 0) {  // the end of the head: check() decides the rest
            done_ = true;
            break;
        }
        if (Refusal r = line(text)) return r;
    }
    return {};
}

Refusal Gate::line(const std::string &text) {
    if (lines_++ == 0) {
        size_t a = text.find(' '), b = text.rfind(' ');
        std::string target = a == std::string::npos || b <= a ? "" : text.substr(a + 1, b - a - 1);
        if (target.size() > kTargetLimit) return {414, "the address is too long"};
        std::string path, query, given;
        splitTarget(target, &path, &query);
        if (!token_.empty() && formValue(query, "token", &given) && !tokenMatches(given, token_))
            return {403, kWantsToken};
        return {};
    }
    if (lines_ > kMaxHeaderLines + 1) return {431, "the request has too many header lines"};
    size_t colon = text.find(':');
    if (colon == std::string::npos) return {};  // the parser refuses it
    std::string name = text.substr(0, colon), value = trimmed(text.substr(colon + 1));
    if (token_.empty() && strcasecmp(name.c_str(), "Host") == 0 && !loopbackHost(value))
        return {403, kWantsLoopback};
    if (!token_.empty() && strcasecmp(name.c_str(), "X-Rfprobe-Token") == 0 &&
        !tokenMatches(value, token_))
        return {403, kWantsToken};
    return {};
}

Refusal Gate::check(const RequestView &r) const {
    if (r.target.size() > kTargetLimit) return {414, "the address is too long"};
    if (r.method != "GET" && r.method != "POST") return {405, "only GET and POST"};
    std::string path, query, given;
    splitTarget(r.target, &path, &query);
    bool inQuery = formValue(query, "token", &given);
    if (!token_.empty()) {
        // Every token the request carries must be the station's, and it
        // must carry one.
        if ((inQuery && !tokenMatches(given, token_)) ||
            (r.hasTokenHeader && !tokenMatches(r.tokenHeader, token_)) ||
            (!inQuery && !r.hasTokenHeader))
            return {403, kWantsToken};
    } else if (!r.hasHost || !loopbackHost(r.host)) {
        // Without a token only this machine's own names: a page of another
        // site whose name was pointed at 127.0.0.1 sends its own Host.
        return {403, kWantsLoopback};
    }
    // A POST also carries the header, which a page of another site cannot
    // send without asking first.
    if (r.method == "POST" && !r.hasTokenHeader) return {403, kPostFromPage};
    return {};
}

}  // namespace serve
