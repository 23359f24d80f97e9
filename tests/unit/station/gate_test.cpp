// The operator page's gate refuses a request from the first line that
// decides it, before the rest of the head arrives: a client without the
// token must not hold the server while it trickles in its headers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serve/gate.h"

namespace {

const std::string kToken = "0123456789abcdef0123456789abcdef";
const std::string kWrong = "0123456789abcdef0123456789abcdeX";

struct Partial {
    const char *what;
    std::string token;
    std::string head;  // as far as it has arrived
    int status;        // 0: not decided yet
};

TEST(ServeGate, RefusesAsSoonAsALineDecides) {
    std::string many = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 70; ++i) many += "a: b\r\n";
    // A browser sends the cookies of other pages of the same host too.
    std::string cookie = "GET /state HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nCookie: s=" + std::string(1350, 'c') +
                         "\r\nAccept: */*\r\n\r\n";
    std::string full = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\na: " +
                       std::string(serve::kHeaderLimit - 40, 'b') + "\r\n\r\n";
    const Partial cases[] = {
        {"a 1.4 KB head with a cookie", "", cookie, 0},
        {"a head of the limit's size", "", full, 0},
        {"bytes after the head are not the head", "", full + "x", 0},
        {"a head one byte past its limit", "", "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\na: b" + full.substr(36), 431},
        {"wrong token in the address, no header yet", kToken, "GET /events?token=" + kWrong + " HTTP/1.1\r\n", 403},
        {"right token in the address", kToken, "GET /events?token=" + kToken + " HTTP/1.1\r\nHost: x\r\n", 0},
        {"wrong token header, more to come", kToken, "POST /start HTTP/1.1\r\nX-Rfprobe-Token: " + kWrong + "\r\n", 403},
        {"foreign Host on loopback, more to come", "", "GET /state HTTP/1.1\r\nHost: attacker.example\r\n", 403},
        {"loopback Host", "", "GET /state HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nAccept: *", 0},
        {"too long an address", "", "GET /" + std::string(serve::kTargetLimit, 'a') + " HTTP/1.1\r\n", 414},
        {"too many header lines", "", many, 431},
        {"a head without end past its limit", "", "GET / HTTP/1.1\r\na: " + std::string(serve::kHeaderLimit + 10, 'b'), 431},
    };
    for (const Partial &c : cases) {
        serve::Gate gate(c.token);
        // Byte by byte, as a slow client sends it, and in one piece: the
        // same answer, at the line that decides.
        serve::Refusal r;
        for (size_t n = 0; n < c.head.size() && !r; ++n) r = gate.feed(c.head.data() + n, 1);
        EXPECT_EQ(r.status, c.status) << c.what;
        for (size_t cut = 0; cut <= c.head.size(); ++cut) {  // in two pieces, split anywhere
            serve::Gate two(c.token);
            serve::Refusal s = two.feed(c.head.data(), cut);
            if (!s) s = two.feed(c.head.data() + cut, c.head.size() - cut);
            EXPECT_EQ(s.status, c.status) << c.what << ", split at " << cut;
        }
    }
}

TEST(ServeGate, TheWholeRequestCarriesTheRightTokenEverywhere) {
    using serve::RequestView;
    struct Whole {
        const char *what;
        std::string token;
        RequestView req;
        int status;
    };
    const Whole cases[] = {
        {"no token", kToken, {"GET", "/events", "h", true, false, ""}, 403},
        {"right in the address, wrong in the header", kToken,
         {"GET", "/events?token=" + kToken, "h", true, true, kWrong}, 403},
        {"right in the header", kToken, {"POST", "/start", "h", true, true, kToken}, 0},
        {"loopback without Host", "", {"GET", "/", "", false, false, ""}, 403},
        {"loopback POST without the page's header", "", {"POST", "/stop", "127.0.0.1", true, false, ""}, 403},
        {"loopback POST from the page", "", {"POST", "/stop", "localhost:80", true, true, "-"}, 0},
        {"another method", "", {"PUT", "/", "127.0.0.1", true, true, "-"}, 405},
    };
    for (const Whole &c : cases) EXPECT_EQ(serve::Gate(c.token).check(c.req).status, c.status) << c.what;
}

// The page's connections: 32 from one address at most (a browser opens 6
// and its event stream), 512 in all; an ended one frees its place.
TEST(ServeAdmission, OneAddressCannotTakeEveryConnection) {
    struct Step {
        const char *what;
        bool join;  // else leave
        std::string client;
        bool admitted;
    };
    serve::Admission a(40, 32);
    std::vector<Step> steps;
    for (int k = 0; k < 32; ++k) steps.push_back({"one of the address's 32", true, "10.0.0.1", true});
    steps.push_back({"the address's 33rd", true, "10.0.0.1", false});
    steps.push_back({"another address", true, "10.0.0.2", true});
    steps.push_back({"one of the first address's ends", false, "10.0.0.1", true});
    steps.push_back({"the first address again", true, "10.0.0.1", true});
    steps.push_back({"and again, at its limit", true, "10.0.0.1", false});
    for (int k = 0; k < 7; ++k) steps.push_back({"other addresses up to the total", true, "10.0.1." + std::to_string(k), true});
    steps.push_back({"past the total", true, "10.0.2.1", false});
    steps.push_back({"an address that never joined leaves", false, "10.0.9.9", true});
    steps.push_back({"still past the total", true, "10.0.2.1", false});
    for (const Step &s : steps) {
        if (s.join)
            EXPECT_EQ(a.admit(s.client), s.admitted) << s.what;
        else
            a.leave(s.client);
    }
    EXPECT_EQ(a.open(), 40u);
}

}  // namespace
