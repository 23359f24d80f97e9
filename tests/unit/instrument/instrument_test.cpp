// Instrument control against the real simulated tester (sim/tester.cpp)
// on loopback: replies whole however long, every failure of an exchange an
// error that names the tester and the command, the error queue, and the
// profile and fixture files refused with the file and key at fault.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <mutex>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "format/text.h"
#include "instrument/fixture.h"
#include "instrument/profile.h"
#include "instrument/reply.h"
#include "instrument/scpi.h"
#include "instrument/tester.h"
#include "instrument/toml_read.h"
#include "pamodel.h"
#include "unittruth.h"

using namespace instrument;

namespace {

// The simulated tester as a child process on 127.0.0.1, a free port.
class SimTester {
  public:
    explicit SimTester(std::vector<std::string> args = {}) {
        int p[2];
        if (pipe(p) != 0) abort();
        pid_ = fork();
        if (pid_ == 0) {
            dup2(p[1], 1);
            close(p[0]);
            std::vector<std::string> all = {SIMTESTER_BIN, "--listen", "127.0.0.1:0", "--fps", "20000"};
            all.insert(all.end(), args.begin(), args.end());
            std::vector<char *> argv;
            for (std::string &a : all) argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(p[1]);
        FILE *f = fdopen(p[0], "r");
        char line[200] = "";
        if (!fgets(line, sizeof line, f)) line[0] = 0;
        fclose(f);
        const char *colon = strrchr(line, ':');
        port_ = colon ? atoi(colon + 1) : 0;
    }
    ~SimTester() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    int port() const { return port_; }
    Resource resource() const {
        Resource r;
        std::string err;
        parseResource("TCPIP::127.0.0.1::" + std::to_string(port_) + "::SOCKET", &r, &err);
        return r;
    }

  private:
    pid_t pid_ = -1;
    int port_ = 0;
};

// A tester whose answers the test writes: *IDN? answers idn, SYST:ERR?
// takes the next of queue (then 0,"No error"), *CLS empties it when
// clears, a query under BAD: is refused (no reply, -113 queued), other
// queries answer "1".  It keeps what it was sent, a "(connect)" line for
// each connection.
class FakeTester {
  public:
    FakeTester(std::string idn, std::deque<std::string> queue, bool clears = false)
        : idn_(std::move(idn)), queue_(std::move(queue)), clears_(clears) {
        lfd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        if (bind(lfd_, (struct sockaddr *)&sa, len) != 0 || listen(lfd_, 8) != 0 || pipe(stop_) != 0) abort();
        getsockname(lfd_, (struct sockaddr *)&sa, &len);
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeTester() {
        if (write(stop_[1], "x", 1) != 1) abort();
        thread_.join();
        close(lfd_);
        close(stop_[0]);
        close(stop_[1]);
    }
    Resource resource() const {
        Resource r;
        std::string err;
        parseResource("TCPIP::127.0.0.1::" + std::to_string(port_) + "::SOCKET", &r, &err);
        return r;
    }
    std::vector<std::string> seen() {
        std::lock_guard<std::mutex> l(mu_);
        return seen_;
    }

  private:
    std::string answer(const std::string &line) {
        std::lock_guard<std::mutex> l(mu_);
        seen_.push_back(line);
        if (line == "*IDN?") return idn_ + "\n";
        if (line == "*CLS" && clears_) queue_.clear();
        if (line.rfind("BAD:", 0) == 0) {
            queue_.push_back("-113,\"Undefined header\"");
            return "";
        }
        if (line == "SYST:ERR?") {
            if (queue_.empty()) return "0,\"No error\"\n";
            std::string e = queue_.front();
            queue_.pop_front();
            return e + "\n";
        }
        return line.back() == '?' ? "1\n" : "";
    }
    void serve() {
        std::vector<std::pair<int, std::string>> clients;  // fd, bytes not yet a line
        for (;;) {
            std::vector<struct pollfd> p = {{stop_[0], POLLIN, 0}, {lfd_, POLLIN, 0}};
            for (auto &c : clients) p.push_back({c.first, POLLIN, 0});
            if (poll(p.data(), p.size(), -1) < 0) continue;
            if (p[0].revents) break;
            for (size_t i = 0; i < clients.size(); i++) {
                if (!p[i + 2].revents) continue;
                char buf[4096];
                ssize_t n = recv(clients[i].first, buf, sizeof buf, 0);
                if (n <= 0) {
                    close(clients[i].first);
                    clients[i].first = -1;
                    continue;
                }
                std::string &in = clients[i].second;
                in.append(buf, (size_t)n);
                for (size_t nl; (nl = in.find('\n')) != std::string::npos; in.erase(0, nl + 1)) {
                    std::string out = answer(in.substr(0, nl));
                    if (send(clients[i].first, out.data(), out.size(), MSG_NOSIGNAL) < 0) break;
                }
            }
            clients.erase(std::remove_if(clients.begin(), clients.end(), [](auto &c) { return c.first < 0; }),
                          clients.end());
            if (p[1].revents) {
                clients.push_back({accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC), ""});
                std::lock_guard<std::mutex> l(mu_);
                seen_.push_back("(connect)");
            }
        }
        for (auto &c : clients) close(c.first);
    }

    std::string idn_;
    std::deque<std::string> queue_;
    bool clears_;
    std::vector<std::string> seen_;
    std::mutex mu_;
    int lfd_ = -1, port_ = 0, stop_[2] = {-1, -1};
    std::thread thread_;
};

// Text fit for a record: valid UTF-8 without control characters.
bool recordable(const std::string &s) {
    for (size_t i = 0, n; i < s.size(); i += n) {
        n = format::utf8Len(s, i);
        if (n == 0 || (n == 1 && ((unsigned char)s[i] < 0x20 || s[i] == 0x7f))) return false;
    }
    return true;
}

// A folder of the test's own, removed with what it holds when the test ends.
class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/rfprobe-instrument-XXXXXX";
        if (!mkdtemp(tmpl)) abort();
        path_ = tmpl;
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

void writeFile(const std::string &path, const std::string &text) {
    std::ofstream f(path);
    f << text;
}

long long msSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
}

class Transport : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { tester_ = new SimTester(); }
    static void TearDownTestSuite() {
        delete tester_;
        tester_ = nullptr;
    }
    static SimTester *tester_;
};
SimTester *Transport::tester_ = nullptr;

}  // namespace

TEST(Resource, FormsAcceptedAndRefused) {
    struct Case {
        const char *text;
        bool ok;
        const char *host;
        int port;
        const char *why;
    } cases[] = {
        {"TCPIP::198.18.255.1::SOCKET", true, "198.18.255.1", 5025, ""},
        {"tcpip0::tester.lab::5030::socket", true, "tester.lab", 5030, ""},
        {"TCPIP::10.0.0.1::inst0::INSTR", false, "", 0, "not VXI-11"},
        {"TCPIP::10.0.0.1::hislip0::INSTR", false, "", 0, "not VXI-11"},
        {"GPIB0::12::INSTR", false, "", 0, "expected TCPIP::HOST"},
        {"TCPIP::10.0.0.1::70000::SOCKET", false, "", 0, "not a number 1-65535"},
        {"TCPIP::10.0.0.1::50x::SOCKET", false, "", 0, "not a number"},
        {"TCPIP::::SOCKET", false, "", 0, "no host"},
        {"10.0.0.1:5025", false, "", 0, "expected TCPIP::HOST"},
    };
    for (const Case &c : cases) {
        Resource r;
        std::string err;
        EXPECT_EQ(parseResource(c.text, &r, &err), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(r.host, c.host);
            EXPECT_EQ(r.port, c.port);
        } else {
            EXPECT_NE(err.find(c.why), std::string::npos) << c.text << ": " << err;
        }
    }
}

TEST_F(Transport, LongRepliesArriveWholeAndInStep) {
    Instrument inst("tester", tester_->resource(), Timeouts{1000, 5000});
    Error err;
    ASSERT_TRUE(inst.connect(&err)) << err.message;
    EXPECT_EQ(inst.idn().rfind("rfprobe,SIMTESTER,", 0), 0u) << inst.idn();
    struct Case {
        std::string query;
        size_t length;
        bool block;
    } cases[] = {
        {"TRAC:DATA? 0", 0, true},        {"TRAC:DATA? 1", 1, true},
        {"TRAC:DATA? 65537", 65537, true}, {"TRAC:DATA? 100000", 100000, true},
        {"TRAC:DATA? 4000000", 4000000, true}, {"DIAG:LINE? 70000", 70000, false},
        {"DIAG:LINE? 1000000", 1000000, false},
    };
    for (const Case &c : cases) {
        std::string reply;
        ASSERT_TRUE(inst.query(c.query, &reply, &err)) << c.query << ": " << err.message;
        ASSERT_EQ(reply.size(), c.length) << c.query;
        bool same = true;
        for (size_t i = 0; i < reply.size() && same; i++)
            same = c.block ? reply[i] == (char)((i * 7 + i / 251) & 0xff) : reply[i] == (char)('A' + i % 26);
        EXPECT_TRUE(same) << c.query << ": payload differs";
        // The next reply is the next query's, not the rest of this one.
        ASSERT_TRUE(inst.query("*IDN?", &reply, &err)) << err.message;
        EXPECT_EQ(reply, inst.idn()) << "after " << c.query;
    }
}

TEST_F(Transport, ThreadsSharingOneInstrumentGetTheirOwnReplies) {
    Instrument inst("tester", tester_->resource(), Timeouts{1000, 5000});
    std::atomic<int> wrong{0}, failed{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < 4; k++) {
        threads.emplace_back([&, k] {
            for (int i = 0; i < 100; i++) {
                size_t n = 1000 + 7919 * (size_t)k + (size_t)i;
                std::string reply;
                Error err;
                if (!inst.query("DIAG:LINE? " + std::to_string(n), &reply, &err)) failed++;
                else if (reply.size() != n) wrong++;
            }
        });
    }
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
}

TEST(FairQueue, UnitsAreServedInTheOrderTheyAsked) {
    // Unit 0 holds the tester; units 1..4 ask in turn while it does and
    // must be served in that order, each knowing how long it waited.  A
    // unit stopped (Stop on the page) while it queues leaves at once, and
    // the units behind it are served as if it had never asked.
    struct Case {
        const char *what;
        int stopped;  // the unit stopped while it waits, 0: none
        std::vector<int> served;
    } cases[] = {
        {"every unit waits its turn", 0, {1, 2, 3, 4}},
        {"unit 2 stopped in the queue", 2, {1, 3, 4}},
    };
    for (const Case &c : cases) {
        FairQueue q;
        std::mutex mu;
        std::vector<int> served;
        std::vector<double> waited(5);
        std::vector<bool> held(5);
        cancel::Token stop, giveUp;  // giveUp: a queue that never serves fails the test, not hangs it
        std::vector<std::thread> units;
        {
            FairQueue::Turn first(q);
            for (int k = 1; k <= 4; k++) {
                units.emplace_back([&, k] {
                    FairQueue::Turn t(q, k == c.stopped ? &stop : &giveUp);
                    std::lock_guard<std::mutex> l(mu);
                    if (t.held()) served.push_back(k);
                    waited[k] = t.waitedMs(), held[k] = t.held();
                });
                while (q.queued() < (uint64_t)k + 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            stop.raise();
            if (c.stopped) units[c.stopped - 1].join();  // while unit 0 still holds the tester
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        for (int waited = 0; waited < 5000; waited += 10) {
            {
                std::lock_guard<std::mutex> l(mu);
                if (served.size() == c.served.size()) break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        giveUp.raise();
        for (std::thread &t : units)
            if (t.joinable()) t.join();
        EXPECT_EQ(served, c.served) << c.what;
        EXPECT_GE(waited[1], 50.0) << c.what;
        if (c.stopped) EXPECT_FALSE(held[c.stopped]) << c.what;
        EXPECT_EQ(q.queued(), 0u) << c.what;
    }
}

TEST_F(Transport, BrokenRepliesAreErrorsNeverValues) {
    struct Case {
        const char *name;
        const char *fault;  // DIAG:FAUL mode before the query, or null
        const char *query;
        bool number;
        Fault expect;
        const char *says;
    } cases[] = {
        {"silence", "SIL", "*IDN?", false, Fault::Timeout, "no reply within the timeout"},
        {"garbage", "GARB", "*IDN?", false, Fault::BadReply, "garbled reply"},
        {"garbage number", "GARB", "MEAS:POW?", true, Fault::BadReply, "garbled reply"},
        {"truncated line", "TRUN", "DIAG:LINE? 5000", false, Fault::Closed, "truncated after 2500 bytes"},
        {"truncated block", "TRUN", "TRAC:DATA? 100000", false, Fault::Closed, "truncated after"},
        {"text for a number", nullptr, "*IDN?", true, Fault::BadReply, "not a number"},
        {"not-a-number", nullptr, "MEAS:POW?", true, Fault::NotANumber, "-230,\"Data corrupt or stale"},
    };
    for (const Case &c : cases) {
        Instrument inst("tester", tester_->resource(), Timeouts{1000, 400});
        Error err;
        ASSERT_TRUE(inst.connect(&err)) << err.message;
        if (c.fault) {
            ASSERT_TRUE(inst.write(std::string("DIAG:FAUL ") + c.fault, &err));
        }
        auto t0 = std::chrono::steady_clock::now();
        std::string reply;
        double v = 0;
        bool ok = c.number ? inst.queryNumber(c.query, &v, &err) : inst.query(c.query, &reply, &err);
        EXPECT_FALSE(ok) << c.name << " gave " << (c.number ? std::to_string(v) : reply.substr(0, 40));
        EXPECT_EQ(err.fault, c.expect) << c.name << ": " << err.message;
        EXPECT_NE(err.message.find(c.says), std::string::npos) << c.name << ": " << err.message;
        EXPECT_NE(err.message.find(std::string("tester TCPIP::127.0.0.1::")), std::string::npos) << err.message;
        EXPECT_NE(err.message.find(c.query), std::string::npos) << c.name << ": " << err.message;
        EXPECT_LT(msSince(t0), 2000) << c.name;
        // The instrument is usable again (a new connection where the old one
        // was out of step).
        ASSERT_TRUE(inst.query("*IDN?", &reply, &err)) << c.name << ": " << err.message;
        EXPECT_EQ(reply, inst.idn()) << c.name;
    }
}

TEST_F(Transport, InstrumentErrorsNameTheCommandAndTheMessage) {
    Instrument inst("tester", tester_->resource(), Timeouts{1000, 2000});
    Error err;
    struct Case {
        const char *cmd;
        const char *says;
    } cases[] = {
        {"SENS:FREQ 2437", nullptr},
        {"FOO:BAR 1", "-113,\"Undefined header"},
        {"SOUR:POW 5", "-222,\"Data out of range"},
        {"SOUR:POW", "-109,\"Missing parameter"},
        {"SOUR:POW -20dBm", "-104,\"Data type error"},
    };
    for (const Case &c : cases) {
        bool ok = inst.command(c.cmd, &err);
        EXPECT_EQ(ok, c.says == nullptr) << c.cmd;
        if (c.says) {
            EXPECT_EQ(err.fault, Fault::Instrument) << c.cmd;
            EXPECT_NE(err.message.find(std::string(": ") + c.cmd + ": " + c.says), std::string::npos) << err.message;
        }
    }
    // A queue left full: 16 entries, the last one telling of the overflow.
    for (int i = 0; i < 20; i++) ASSERT_TRUE(inst.write("NO:SUCH:CMD", &err));
    std::vector<QueueEntry> q;
    ASSERT_TRUE(inst.readErrors(&q, &err)) << err.message;
    ASSERT_EQ(q.size(), 16u);
    EXPECT_EQ(q.front().code, -113);
    EXPECT_EQ(q.back().code, -350);
    // A queue that never empties is an error too, not an endless loop.
    inst.setErrorQuery("SYST:ERR?", 3);
    for (int i = 0; i < 5; i++) ASSERT_TRUE(inst.write("NO:SUCH:CMD", &err));
    EXPECT_FALSE(inst.readErrors(&q, &err));
    EXPECT_NE(err.message.find("still not empty after 3 reads"), std::string::npos) << err.message;
}

// Units read the tester's identity for their records (and its name for
// their messages) while another unit's reconnect rewrites it.  scripts/test
// runs this under ThreadSanitizer.
TEST_F(Transport, IdentityIsReadSafelyWhileAnotherUnitReconnects) {
    Instrument inst("tester", tester_->resource(), Timeouts{1000, 2000});
    Error err;
    ASSERT_TRUE(inst.connect(&err)) << err.message;
    const std::string idn = inst.idn();
    std::atomic<int> reconnecting{2}, failed{0}, wrong{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < 2; k++)
        threads.emplace_back([&] {
            for (int i = 0; i < 40; i++) {
                inst.disconnect();
                Error e;
                if (!inst.connect(&e)) failed++;
            }
            reconnecting--;
        });
    for (int k = 0; k < 2; k++)
        threads.emplace_back([&] {
            do {
                if (inst.idn() != idn) wrong++;
                if (inst.name().find("(rfprobe SIMTESTER)") == std::string::npos) wrong++;
            } while (reconnecting > 0);
        });
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(wrong.load(), 0) << "a reader saw the identity blank or torn during a reconnect";
}

// A queue deeper than the drain allows fails the connect; the next connect
// starts over (a new connection, *IDN?, the drain), and a command after it
// is not blamed for what the tester held before.
TEST(Connect, FailedDrainClosesSoTheNextConnectStartsOver) {
    std::deque<std::string> stale(5, "-113,\"Undefined header\"");
    FakeTester fake("rfprobe,FAKE,1,1.0", stale);
    Instrument inst("tester", fake.resource(), Timeouts{1000, 1000});
    inst.setErrorQuery("SYST:ERR?", 3);
    inst.setClearCommand("");  // a profile with clear = "": the queue is drained alone
    Error err;
    EXPECT_FALSE(inst.connect(&err));
    EXPECT_EQ(err.fault, Fault::Instrument) << err.message;
    EXPECT_FALSE(inst.connected());
    ASSERT_TRUE(inst.connect(&err)) << err.message;
    EXPECT_TRUE(inst.command("SENS:FREQ 2437", &err)) << err.message;
    std::vector<std::string> drain(3, "SYST:ERR?");
    std::vector<std::string> want = {"(connect)", "*IDN?"};
    want.insert(want.end(), drain.begin(), drain.end());
    want.insert(want.end(), {"(connect)", "*IDN?"});
    want.insert(want.end(), drain.begin(), drain.end());
    want.insert(want.end(), {"SENS:FREQ 2437", "SYST:ERR?"});
    EXPECT_EQ(fake.seen(), want);
}

// Whatever bytes a tester puts in its identity or its error messages come
// out as text a record can hold: valid UTF-8 kept, any other byte read as
// Latin-1, control characters as blanks, long text cut between characters.
TEST(Connect, TesterTextBecomesPrintableUtf8) {
    std::string e1000;
    for (int i = 0; i < 1000; i++) e1000 += "\xc3\xa9";
    struct Case {
        std::string idn, entry;  // as sent
        std::string wantIdn, wantText;
    } cases[] = {
        {"Maker,Model \xb0" "C,1,2", "-100,\"Command\terror\"", "Maker,Model \xc2\xb0" "C,1,2", "Command error"},
        {"Maker,Mod\xc3\xa8le,1,2", "-200,\"Temp 40 \xb0" "C \xe2\x82\xac\"", "Maker,Mod\xc3\xa8le,1,2",
         "Temp 40 \xc2\xb0" "C \xe2\x82\xac"},
        {"M,1" + e1000, "-300,\"Out of range;\t\xe9t\xe9\"", "M,1" + e1000.substr(0, 1020),
         "Out of range; \xc3\xa9t\xc3\xa9"},
    };
    for (const Case &c : cases) {
        FakeTester fake(c.idn, {"0,\"No error\"", c.entry});
        Instrument inst("tester", fake.resource(), Timeouts{1000, 1000});
        Error err;
        ASSERT_TRUE(inst.connect(&err)) << err.message;
        EXPECT_EQ(inst.idn(), c.wantIdn);
        EXPECT_FALSE(inst.command("SENS:FREQ 2437", &err));
        EXPECT_EQ(err.fault, Fault::Instrument) << err.message;
        EXPECT_NE(err.message.find(",\"" + c.wantText + "\""), std::string::npos) << err.message;
        EXPECT_TRUE(recordable(err.message)) << err.message;
    }
}

TEST(Connect, UnreachableTesterIsABoundedError) {
    // A port nobody listens on refuses at once; a listener whose backlog
    // is full never answers, and the connect gives up at its timeout.
    int refused = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(refused, (struct sockaddr *)&sa, sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(refused, (struct sockaddr *)&sa, &len);
    int refusedPort = ntohs(sa.sin_port);
    close(refused);

    int full = socket(AF_INET, SOCK_STREAM, 0);
    sa.sin_port = 0;
    bind(full, (struct sockaddr *)&sa, sizeof sa);
    listen(full, 0);
    len = sizeof sa;
    getsockname(full, (struct sockaddr *)&sa, &len);
    int fullPort = ntohs(sa.sin_port);
    std::vector<int> fillers;
    for (int i = 0; i < 4; i++) {
        int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(c, (struct sockaddr *)&sa, sizeof sa);
        fillers.push_back(c);
    }
    usleep(100000);

    struct Case {
        int port;
        const char *says;
    } cases[] = {{refusedPort, "cannot connect: Connection refused"}, {fullPort, "no answer within 300 ms"}};
    for (const Case &c : cases) {
        Resource r;
        std::string why;
        ASSERT_TRUE(parseResource("TCPIP::127.0.0.1::" + std::to_string(c.port) + "::SOCKET", &r, &why));
        Instrument inst("tester", r, Timeouts{300, 300});
        Error err;
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(inst.connect(&err));
        EXPECT_EQ(err.fault, Fault::Connect);
        EXPECT_NE(err.message.find(c.says), std::string::npos) << err.message;
        EXPECT_LT(msSince(t0), 1500);
    }
    for (int c : fillers) close(c);
    close(full);
}

// A tester given by host name whose name server never answers holds the
// lookup for the resolver's timeouts (15 s here); a Stop ends the wait at
// once.  In a child with mount and network namespaces of its own, whose
// resolv.conf names a server on its loopback that reads and never answers.
TEST(Connect, AStopEndsTheLookupOfATestersName) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (namespaces)";
    pid_t pid = fork();
    if (pid == 0) {
        if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            _exit(10);
        char conf[] = "/tmp/rfprobe-resolv-XXXXXX";
        int fd = mkstemp(conf);
        const char text[] = "nameserver 127.0.0.1\noptions timeout:5 attempts:3\n";
        bool wrote = fd >= 0 && write(fd, text, sizeof text - 1) == (ssize_t)(sizeof text - 1);
        if (fd >= 0) close(fd);
        bool mounted = wrote && mount(conf, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
        unlink(conf);
        if (!mounted) _exit(10);
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        struct ifreq ifr = {};
        snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "lo");
        ioctl(s, SIOCGIFFLAGS, &ifr);
        ifr.ifr_flags |= IFF_UP;
        if (ioctl(s, SIOCSIFFLAGS, &ifr) != 0) _exit(10);
        struct sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(53);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(s, (struct sockaddr *)&sa, sizeof sa) != 0) _exit(10);  // the silent name server
        Resource r;
        std::string why;
        if (!parseResource("TCPIP::tester-3.line.example::5025::SOCKET", &r, &why)) _exit(11);
        cancel::Token stop;
        std::thread([&stop] {
            usleep(300000);
            stop.raise();
        }).detach();
        Instrument inst("tester", r, Timeouts{3000, 3000});
        Instrument::Session held(inst, &stop);
        Error err;
        auto t0 = std::chrono::steady_clock::now();
        bool ok = inst.connect(&err);
        double took = msSince(t0);
        if (!ok && err.fault == Fault::Connect && took < 250) _exit(12);  // no wait to end here
        _exit(ok ? 13 : err.fault != Fault::Cancelled ? 14 : took > 1300 ? 15 : 0);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st));
    if (WEXITSTATUS(st) == 10 || WEXITSTATUS(st) == 12)
        GTEST_SKIP() << "no silent name server could be set up here (" << WEXITSTATUS(st) << ")";
    EXPECT_EQ(WEXITSTATUS(st), 0) << "13: connected, 14: not stopped, 15: stopped late";
}

TEST(Profile, ShippedProfileLoads) {
    Profile p;
    std::string err;
    ASSERT_TRUE(loadProfile(SIMTESTER_PROFILE, &p, &err)) << err;
    EXPECT_EQ(p.commands(Op::SendFrames).back(), "*OPC?");
    EXPECT_EQ(expand(p.commands(Op::AnalyserSetup)[0], {{"freq_mhz", formatNumber(2437)}}), "SENS:FREQ 2437");
    EXPECT_EQ(formatNumber(-65.5), "-65.5");
    EXPECT_EQ(formatNumber(12.25), "12.25");
}

TEST(Profile, BadProfilesAreRefusedAtLoad) {
    std::string good;
    ASSERT_TRUE(readWhole(SIMTESTER_PROFILE, &good, &good));
    auto with = [&](const std::string &from, const std::string &to) {
        std::string t = good;
        size_t at = t.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? t : t.replace(at, from.size(), to);
    };
    struct Case {
        std::string text;
        const char *says;
    } cases[] = {
        {with("[operations]\n", "[operations]\nmeasure_acpr = \"MEAS:ACPR?\"\n"),
         "operations.measure_acpr: unknown operation"},
        {with("ROUT:PORT {port}", "ROUT:PORT {unit}"), "operations.select_port: unknown parameter {unit}"},
        {with("SOUR:POW {level_dbm}", "SOUR:POW {frames}"), "operations.generator_setup: unknown parameter {frames}"},
        {with("ROUT:PORT {port}", "ROUT:PORT {port"), "operations.select_port: an unclosed '{'"},
        {with("measure_evm = \"MEAS:EVM?\"\n", ""), "operations.measure_evm: missing"},
        {with("\"MEAS:POW?\"", "\"INIT:MEAS\""), "operations.measure_power: must end in a query"},
        {with("reset = [\"*RST\", \"*CLS\"]", "reset = []"), "operations.reset: must be a command or a non-empty list"},
        {with("timeout_ms = 3000", "timeout_ms = \"fast\""), "timeout_ms: must be a whole number"},
        {with("timeout_ms = 3000", "timout_ms = 3000"), "timout_ms: unknown key"},
        {with("[operations]", "[operations"), "not valid TOML"},
    };
    for (const Case &c : cases) {
        Profile p;
        std::string err;
        EXPECT_FALSE(parseProfile(c.text, "lab.toml", &p, &err)) << c.says;
        EXPECT_EQ(err.rfind("lab.toml:", 0), 0u) << err;
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
    }
}

// Format 2 mistakes are refused when the profile loads, naming the file,
// the key and the line, before any tester is reached.
TEST(Profile, FormatTwoMistakesNameFileKeyAndLine) {
    std::string lab;
    ASSERT_TRUE(readWhole(LABTESTER_PROFILE, &lab, &lab));
    Profile shipped;
    std::string err;
    ASSERT_TRUE(parseProfile(lab, "lab.toml", &shipped, &err)) << err;
    auto with = [&](const std::string &from, const std::string &to) {
        std::string t = lab;
        size_t at = t.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? t : t.replace(at, from.size(), to);
    };
    std::string unitW = "unit = \"W\"";
    struct Case {
        std::string text;
        const char *says;
    } cases[] = {
        {with("unit = \"%\"", unitW), "measurements.evm.unit: unknown unit \"W\""},
        {with("unit = \"%\"", "unit = \"Hz\""), "measurements.evm.unit: the record keeps it in dB"},
        {with("value_field = 1\nunit = \"Hz\"", "value_field = 0\nunit = \"Hz\""),
         "measurements.freq_error.status_field: the status cannot be the value's field"},
        {with("value_field = 1\nunit = \"dBm\"", "value_field = 99\nunit = \"dBm\""),
         "measurements.power.value_field: 99 is outside 0..63"},
        {with("separator = \",\"\nstatus_field = 0\nvalid_status = [\"0\"]\nvalue_field = 1\nunit = \"dBm\"",
              "value_field = 1\nunit = \"dBm\""),
         "measurements.power.separator: fields need a separator"},
        {with("valid_status = [\"0\"]\nvalue_field = 1\nunit = \"%\"", "value_field = 1\nunit = \"%\""),
         "measurements.evm.valid_status: status_field and valid_status go together"},
        {with("[maps.waveform]\n", "[maps.empty]\n[maps.waveform]\n"), "maps.empty: a map without entries"},
        {with("{rate|waveform}", "{rate|standard}"), "uses the map standard, which the profile has not"},
        {with("{level_dbm + 10}", "{level_dbm * 2}"), "is not a parameter plus or minus numbers"},
        {with("{level_dbm + 10}", "{level_dbm + 1e1}"), "is not a parameter plus or minus numbers"},
        {with("{level_dbm + 10}", "{rate + 10}"), "unknown parameter {rate}"},
        {with("deadline_ms = 5000\n", ""), "poll.deadline_ms: a poll needs a deadline"},
        {with("query = \"STATUS:WLAN:STATE?\"", "query = \"STATUS:WLAN:STATE\""), "poll.query: "},
        {with("format = 2\n", ""), "reset_at_start: needs format = 2"},
    };
    for (const Case &c : cases) {
        Profile p;
        EXPECT_FALSE(parseProfile(c.text, "lab.toml", &p, &err)) << c.says;
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        // "lab.toml:LINE: key: why"
        int line = 0;
        EXPECT_EQ(sscanf(err.c_str(), "lab.toml:%d:", &line), 1) << err;
        EXPECT_GT(line, 0) << err;
    }
}

// What a command carries: sums for headroom, maps for named waveforms,
// numbers with at most 3 decimals; a rate the map lacks is refused before
// a plan sends anything.
TEST(Profile, CommandsCarrySumsMapsAndShortNumbers) {
    Maps maps = {{"waveform", {{"7", "NONHT_R7"}}}};
    Params p = {{"level_dbm", formatNumber(-82.7305555556)}, {"rate", "7"}, {"freq_mhz", formatNumber(2437)}};
    struct Case {
        const char *tmpl;
        const char *sent;  // null: refused
    } cases[] = {
        {"RLEV {level_dbm}", "RLEV -82.731"},
        {"RLEV {level_dbm + 10}", "RLEV -72.731"},
        {"RLEV {level_dbm+10 - 0.5}", "RLEV -73.231"},
        {"WAV {rate|waveform};FREQ {freq_mhz}", "WAV NONHT_R7;FREQ 2437"},
        {"WAV {{{rate}}}", "WAV {7}"},
        {"WAV {port}", nullptr},
    };
    for (const Case &c : cases) {
        std::string out, why;
        bool ok = expandCommand(c.tmpl, p, maps, &out, &why);
        EXPECT_EQ(ok, c.sent != nullptr) << c.tmpl << ": " << why;
        if (c.sent) {
            EXPECT_EQ(out, c.sent);
        }
    }
    std::string out, why;
    EXPECT_FALSE(expandCommand("WAV {rate|waveform}", {{"rate", "30"}}, maps, &out, &why));
    EXPECT_NE(why.find("rate 30 is not in the profile's map waveform"), std::string::npos) << why;
    struct Num {
        double v;
        const char *s;
    } nums[] = {{2437, "2437"}, {-65.5, "-65.5"}, {12.25, "12.25"}, {0.01695268677976462, "0.017"},
                {-0.0001, "0"}, {1e-9, "0"}, {-130, "-130"}};
    for (const Num &n : nums) EXPECT_EQ(formatNumber(n.v), n.s) << n.v;

    Profile lab;
    ASSERT_TRUE(loadProfile(LABTESTER_PROFILE, &lab, &why)) << why;
    EXPECT_TRUE(lab.canSend("rate", "7", &why)) << why;
    EXPECT_FALSE(lab.canSend("rate", "30", &why));
    EXPECT_NE(why.find("operations.generator_setup sends {rate|waveform}, and rate 30 is not in [maps.waveform]"),
              std::string::npos)
        << why;
    Profile sim;
    ASSERT_TRUE(loadProfile(SIMTESTER_PROFILE, &sim, &why)) << why;
    EXPECT_TRUE(sim.canSend("rate", "30", &why)) << why;
}

// A fetch's reply becomes the recorded figure: the value's field, the
// status the tester gave it, its unit converted to the record's.
TEST(Reply, FieldsStatusAndUnitsBecomeTheRecordsFigures) {
    ReplyFormat whole;  // today's profiles: the reply is the value
    ReplyFormat fetch;
    fetch.separator = ",";
    fetch.statusField = 0;
    fetch.valid = {"0"};
    fetch.field = 1;
    ReplyFormat evm = fetch, ferr = fetch, khz = fetch;
    evm.unit = Unit::Percent;
    evm.recorded = Unit::Db;
    ferr.unit = Unit::Hz;
    ferr.recorded = Unit::Ppm;
    khz.unit = Unit::KHz;
    khz.recorded = Unit::Ppm;
    struct Case {
        const ReplyFormat &f;
        const char *reply;
        double centre;
        double value;      // when it reads
        Fault fault;       // None: it reads
        const char *says;  // in *why when it does not
    } cases[] = {
        {whole, "17.5", 0, 17.5, Fault::None, ""},
        {fetch, "0,+1.674157E+01", 0, 16.74157, Fault::None, ""},
        {fetch, "+0,+1.674157E+01", 0, 16.74157, Fault::None, ""},
        {evm, "0,+1.970000E+00", 0, 20 * std::log10(0.0197), Fault::None, ""},
        {ferr, "0,-4.780000E+02", 2437, -478.0 / 2437, Fault::None, ""},
        {khz, "0,-0.478", 2437, -478.0 / 2437, Fault::None, ""},
        {fetch, "0", 0, 0, Fault::BadReply, "reply \"0\" has 1 field, the profile reads field 1"},
        {fetch, "2,+9.910000E+37", 0, 0, Fault::Instrument, "the tester's status 2 (valid: 0)"},
        {fetch, "0,+9.910000E+37", 0, 0, Fault::NotANumber, "not-a-number (+9.910000E+37)"},
        {fetch, "0,abc", 0, 0, Fault::BadReply, "not a number: \"0,abc\""},
        {ferr, "0,-4.780000E+02", 0, 0, Fault::Instrument, "needs the channel's centre frequency"},
        {evm, "0,0", 0, 0, Fault::Instrument, "EVM of 0 % has no value in dB"},
    };
    for (const Case &c : cases) {
        double v = 0;
        Fault f = Fault::None;
        std::string why;
        bool ok = readValue(c.reply, c.f, c.centre, &v, &f, &why);
        EXPECT_EQ(ok, c.fault == Fault::None) << c.reply << ": " << why;
        if (ok) {
            EXPECT_NEAR(v, c.value, 1e-9) << c.reply;
        } else {
            EXPECT_EQ(f, c.fault) << c.reply << ": " << why;
            EXPECT_NE(why.find(c.says), std::string::npos) << why;
        }
    }
}

// A query the tester refuses gets no reply: the error is the tester's own
// (read before the next connect empties the queue), not a bare timeout.
// A stale queue deeper than max_errors no longer fails the connect: *CLS.
TEST(Connect, RefusedQueryNamesTheTestersErrorAndStaleQueuesAreCleared) {
    FakeTester fake("rfprobe,FAKE,1,1.0", std::deque<std::string>(40, "-350,\"Queue overflow\""), true);
    Instrument inst("tester", fake.resource(), Timeouts{1000, 300});
    inst.setErrorQuery("SYST:ERR?", 32);
    Error err;
    ASSERT_TRUE(inst.connect(&err)) << err.message;
    std::string reply;
    EXPECT_FALSE(inst.query("BAD:QUERY?", &reply, &err));
    EXPECT_EQ(err.fault, Fault::Instrument) << err.message;
    EXPECT_NE(err.message.find("BAD:QUERY?: -113,\"Undefined header\""), std::string::npos) << err.message;
    EXPECT_TRUE(inst.query("OK?", &reply, &err)) << err.message;
    EXPECT_EQ(reply, "1");
    std::vector<std::string> seen = fake.seen();
    std::vector<std::string> want = {"(connect)", "*IDN?",      "*CLS", "SYST:ERR?", "BAD:QUERY?", "SYST:ERR?",
                                     "SYST:ERR?", "(connect)", "*IDN?", "*CLS",      "SYST:ERR?",  "OK?"};
    EXPECT_EQ(seen, want);
}

TEST(Channels, CentreFrequencyAsTheRadioHasIt) {
    struct Case {
        int channel, bw;
        double mhz;
    } cases[] = {{1, 20, 2412}, {6, 20, 2437}, {14, 20, 2484}, {36, 20, 5180},
                 {1, 40, 2422}, {11, 40, 2452}, {42, 80, 5210}};
    for (const Case &c : cases) {
        int sb = agentSideband(c.channel, c.bw);
        EXPECT_EQ(channelCentreMhz(c.channel, c.bw, sb), c.mhz) << c.channel << "/" << c.bw;
        EXPECT_EQ(sim::channelCentreMhz(c.channel, c.bw, sb), c.mhz) << c.channel << "/" << c.bw;
    }
}

TEST(Fixture, LossIsInterpolatedAndHeldAtTheEnds) {
    TempDir tmp;
    const std::string &dir = tmp.path();
    writeFile(dir + "/fixture.toml", std::string("[tester]\nresource = \"TCPIP::198.18.255.1::SOCKET\"\nprofile = \"") +
                                         SIMTESTER_PROFILE +
                                         "\"\n[units.stn0]\nport = 1\nloss = [[2412, 1.0], [2484, 2.0], [5180, 4.0]]\n"
                                         "[units.\"eth1.100\"]\nport = 2\nloss = [[2442, 3.5]]\n");
    Fixture fx;
    std::string err;
    ASSERT_TRUE(loadFixture(dir + "/fixture.toml", &fx, &err)) << err;
    EXPECT_EQ(fx.tester.port, 5025);
    ASSERT_NE(fx.unit("stn0"), nullptr);
    ASSERT_NE(fx.unit("eth1.100"), nullptr);
    EXPECT_EQ(fx.unit("stn1"), nullptr);
    const PathLoss &l = fx.unit("stn0")->loss;
    struct Case {
        double mhz, db;
    } cases[] = {{2300, 1.0}, {2412, 1.0}, {2448, 1.5}, {2484, 2.0}, {3832, 3.0}, {5180, 4.0}, {5900, 4.0}};
    for (const Case &c : cases) EXPECT_NEAR(l.at(c.mhz), c.db, 1e-9) << c.mhz;
    EXPECT_NEAR(l.sourceLevel(-70, 2448), -68.5, 1e-9);
    EXPECT_NEAR(l.atUnit(15.5, 2448), 17.0, 1e-9);
    EXPECT_NEAR(fx.unit("eth1.100")->loss.at(5000), 3.5, 1e-9);
}

TEST(Fixture, MalformedFixturesNameFileAndKey) {
    std::string head = "[tester]\nresource = \"TCPIP::198.18.255.1::SOCKET\"\nprofile = \"" SIMTESTER_PROFILE "\"\n";
    struct Case {
        std::string text;
        const char *says;
    } cases[] = {
        {"[units.stn0]\nport = 1\nloss = [[2412, 1]]\n", "tester: missing"},
        {head + "[units.stn0]\nport = 1\n", "units.stn0.loss: missing"},
        {head + "[units.stn0]\nport = 1\nloss = [[2484, 1], [2412, 2]]\n", "units.stn0.loss[1]: frequencies must rise"},
        {head + "[units.stn0]\nport = 1\nloss = [[2412]]\n", "units.stn0.loss[0]: must be a pair"},
        {head + "[units.stn0]\nport = 1\nloss = [[2412, \"1 dB\"]]\n", "units.stn0.loss[0]: must be a pair"},
        {head + "[units.stn0]\nport = 0\nloss = [[2412, 1]]\n", "units.stn0.port: 0 is outside 1..1024"},
        {head + "[units.a]\nport = 1\nloss = [[2412, 1]]\n[units.b]\nport = 1\nloss = [[2412, 1]]\n",
         "units.b.port: port 1 is already another unit's"},
        {head + "[units.stn0]\nport = 1\nlos = [[2412, 1]]\n", "units.stn0.los: unknown key"},
        {"[tester]\nresource = \"TCPIP::h::inst0::INSTR\"\nprofile = \"p.toml\"\n", "tester.resource:"},
        {"[tester]\nresource = \"TCPIP::h::SOCKET\"\nprofile = \"nowhere.toml\"\n[units.a]\nport = 1\nloss = [[1, 1]]\n",
         "tester.profile: "},
        {head + "[units.stn0\n", "not valid TOML"},
    };
    for (const Case &c : cases) {
        Fixture fx;
        std::string err;
        EXPECT_FALSE(parseFixture(c.text, "/lab/line3.toml", &fx, &err)) << c.says;
        EXPECT_EQ(err.rfind("/lab/line3.toml", 0), 0u) << err;
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
    }
}

// fixture-cal rewrites one unit's loss table: everything else in the file
// (comments, other units, the tester) stays byte for byte, whatever shape
// the old table had; what cannot be found is refused, and the file on disk
// is replaced whole (no temporary left, a link refused).
TEST(Fixture, OneUnitsLossIsRewrittenAndEverythingElseKept) {
    const std::string head = "# line 3\n[tester]\nresource = \"TCPIP::198.18.255.1::SOCKET\"\n"
                             "profile = \"" SIMTESTER_PROFILE "\"\n\n";
    const std::string b = "[units.b]  # the other cable\nport = 2\nloss = [[2412, 1.2]]\n";
    const std::vector<std::pair<double, double>> pts = {{2437, 3.41}, {2462, 3.38}};
    const std::string want = "loss = [[2437, 3.41], [2462, 3.38]]";
    struct Case {
        std::string unitA;  // the [units.a] table as the file has it
        std::string after;  // as it must read afterwards ("": refused)
        const char *says;   // the refusal
    } cases[] = {
        {"[units.a]\nport = 1\nloss = [[2412, 2.0]]   # MHz, dB\n",
         "[units.a]\nport = 1\n" + want + "   # MHz, dB\n", ""},
        {"[units.\"a\"]\n  loss = [\n    [2412, 2.0],  # low\n    [5180, 2.9],\n  ]\nport = 1\n",
         "[units.\"a\"]\n  " + want + "\nport = 1\n", ""},
        {"[units.a]\nport = 1\n", "[units.a]\n" + want + "\nport = 1\n", ""},
        {"[units.c]\nport = 1\nloss = [[2412, 2.0]]\n", "", "no table [units.a]"},
        {"[units.a]\nport = 1\nloss = [[2412, 2.0]\n", "", ":8: units.a.loss: its list does not close"},
    };
    for (const Case &c : cases) {
        std::string out, err;
        bool ok = replaceLossText(head + c.unitA + b, "/lab/f.toml", "a", pts, &out, &err);
        EXPECT_EQ(ok, !c.after.empty()) << c.unitA << err;
        if (ok) EXPECT_EQ(out, head + c.after + b);
        else EXPECT_NE(err.find(c.says), std::string::npos) << err;
    }
    TempDir tmp;
    const std::string f = tmp.path() + "/f.toml", link = tmp.path() + "/link.toml";
    writeFile(f, head + "[units.a]\nport = 1\nloss = [[2412, 2.0]]\n" + b);
    std::string err;
    ASSERT_TRUE(rewriteFixtureLoss(f, "a", pts, &err)) << err;
    Fixture fx;
    ASSERT_TRUE(loadFixture(f, &fx, &err)) << err;
    EXPECT_EQ(fx.unit("a")->loss.points, pts);
    EXPECT_EQ(fx.unit("b")->loss.points.size(), 1u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp.path()), {}), 1);
    // A file the line's operators share keeps its owner, group and mode.
    if (geteuid() == 0) {
        ASSERT_EQ(chown(f.c_str(), 4321, 8765), 0);
        ASSERT_EQ(chmod(f.c_str(), 0640), 0);
        ASSERT_TRUE(rewriteFixtureLoss(f, "a", pts, &err)) << err;
        struct stat st;
        ASSERT_EQ(stat(f.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 4321u);
        EXPECT_EQ(st.st_gid, 8765u);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
    }
    std::filesystem::create_symlink(f, link);
    EXPECT_FALSE(rewriteFixtureLoss(link, "a", pts, &err));
    EXPECT_NE(err.find("link.toml: not a regular file"), std::string::npos) << err;
}

// The tester's operations through the shipped profile, against a radio
// whose state this test writes the way the simulated wl does.
TEST(Tester, MeasuresOnlyWhatTheRadioSendsAndFeedsItsReceiver) {
    TempDir tmp;
    const std::string &dir = tmp.path();
    writeFile(dir + "/unit", "seed 7\n");
    auto radio = [&](const std::string &extra) {
        writeFile(dir + "/state", "up=1\nchannel=6\nbw=20\nsideband=0\ntxchain=1\ntxpwr_qdbm=60\n" + extra);
    };
    SimTester sim({"--port", "1=" + dir, "--loss", "1=2412:1.5,2484:2.5", "--seed", "3"});
    Profile p;
    std::string why;
    ASSERT_TRUE(loadProfile(SIMTESTER_PROFILE, &p, &why)) << why;
    Tester t(p, sim.resource());
    Error err;
    ASSERT_TRUE(t.reset(&err)) << err.message;
    ASSERT_TRUE(t.selectPort(1, &err)) << err.message;

    // Transmitting at 15 dBm on 2437 MHz: the PA's true output (unit seed
    // 7) less the loss at 2437 MHz, within the noise.
    sim::UnitTruth truth = sim::loadTruth(dir);
    double expected = truth.output(0, pa::detectorCode(pa::kDefault[0], 15.0)) - (1.5 + 25.0 / 72.0);
    struct Case {
        const char *radio;
        double freq, bw;
        bool measures;
        const char *says;
    } cases[] = {
        {"pkteng=tx\n", 2437, 20, true, ""},
        {"pkteng=0\n", 2437, 20, false, "not transmitting"},
        {"pkteng=tx\n", 2412, 20, false, "transmits at 2437 MHz, 20 MHz wide, not at 2412 MHz"},
        {"pkteng=tx\n", 2437, 40, false, "not at 2437 MHz, 40 MHz"},
        {"pkteng=tx\nup=0\n", 2437, 20, false, "not transmitting"},
    };
    for (const Case &c : cases) {
        radio(c.radio);
        ASSERT_TRUE(t.setupAnalyser(AnalyserSetup{c.freq, c.bw, 15}, &err)) << err.message;
        Measurement m;
        bool ok = t.measure(&m, &err);
        ASSERT_EQ(ok, c.measures) << c.radio << err.message;
        if (ok) {
            EXPECT_NEAR(m.powerDbm, expected, 0.5);
            EXPECT_NEAR(m.evmDb, truth.evmFloorDb, 1.5);
            EXPECT_NEAR(m.freqErrorPpm, truth.crystalPpm, 0.3);
        } else {
            EXPECT_EQ(err.fault, Fault::NotANumber) << err.message;
            EXPECT_NE(err.message.find("MEAS:POW?: not-a-number (9.91E37): -230"), std::string::npos) << err.message;
            EXPECT_NE(err.message.find(c.says), std::string::npos) << err.message;
        }
    }

    // The generator: frames count only while the receive test is armed on
    // the generator's channel, nearly all of them well above sensitivity,
    // few well below it.
    struct Gen {
        const char *radio;
        double level;
        long lo, hi;
    } gens[] = {
        {"rxarmed=1\n", -50, 1990, 2000},
        {"rxarmed=0\n", -50, 0, 0},
        {"rxarmed=1\nchannel=11\n", -50, 0, 0},
        {"rxarmed=1\n", -110, 0, 10},
    };
    for (const Gen &g : gens) {
        radio(g.radio);
        ASSERT_TRUE(t.setupGenerator(GeneratorSetup{2437, 20, g.level, 7}, &err)) << err.message;
        // What reached the radio, which adds it to its counter.
        std::string total;
        long before = readWhole(dir + "/rxgen", &total, &why) ? atol(total.c_str()) : 0;
        ASSERT_TRUE(t.sendFrames(2000, &err)) << err.message;
        long count = readWhole(dir + "/rxgen", &total, &why) ? atol(total.c_str()) - before : 0;
        EXPECT_GE(count, g.lo) << g.radio << g.level;
        EXPECT_LE(count, g.hi) << g.radio << g.level;
    }
    // A set-up the tester refuses names its command.
    EXPECT_FALSE(t.setupGenerator(GeneratorSetup{2437, 30, -50, 7}, &err));
    EXPECT_EQ(err.fault, Fault::Instrument);
    EXPECT_NE(err.message.find("SOUR:BAND 30: -222,\"Data out of range"), std::string::npos) << err.message;
}

// The lab dialect through its shipped profile: the capture triggered once
// the unit transmits and polled until done, "status,value" replies in %
// and Hz recorded in dB and ppm, headroom on the reference level, the
// rate sent as a waveform name, and its "+0,"No error"" read as an empty
// queue after every command.
TEST(Tester, LabDialectReadsItsRepliesInItsUnitsAndOrder) {
    TempDir tmp;
    const std::string &dir = tmp.path();
    writeFile(dir + "/unit", "seed 7\n");
    auto radio = [&](const std::string &extra) {
        writeFile(dir + "/state", "up=1\nchannel=6\nbw=20\nsideband=0\ntxchain=1\ntxpwr_qdbm=60\n" + extra);
    };
    SimTester sim({"--dialect", "lab", "--capture-ms", "200", "--port", "1=" + dir, "--loss", "1=2412:1.5,2484:2.5",
                   "--seed", "3"});
    std::string text, why;
    ASSERT_TRUE(readWhole(LABTESTER_PROFILE, &text, &why));
    Profile lab, tight, hasty;
    ASSERT_TRUE(parseProfile(text, "lab.toml", &lab, &why)) << why;
    std::string noHeadroom = text, shortPoll = text;
    noHeadroom.replace(noHeadroom.find("{level_dbm + 10}"), 16, "{level_dbm}");
    ASSERT_TRUE(parseProfile(noHeadroom, "tight.toml", &tight, &why)) << why;
    shortPoll.replace(shortPoll.find("deadline_ms = 5000"), 18, "deadline_ms = 30");
    ASSERT_TRUE(parseProfile(shortPoll, "hasty.toml", &hasty, &why)) << why;

    sim::UnitTruth truth = sim::loadTruth(dir);
    double expected = truth.output(0, pa::detectorCode(pa::kDefault[0], 15.0)) - (1.5 + 25.0 / 72.0);
    struct Case {
        const Profile &p;
        const char *radio;
        Fault fault;  // None: it measures
        const char *says;
    } cases[] = {
        {lab, "pkteng=tx\n", Fault::None, ""},
        {lab, "pkteng=0\n", Fault::Instrument,
         "FETCH:WLAN:POWER?: the tester's status 1 (valid: 0) in reply \"1,+9.910000E+37\": "
         "-230,\"Measurement invalid;the unit on port 1 is not transmitting\""},
        {tight, "pkteng=tx\n", Fault::Instrument,
         "status 2 (valid: 0) in reply \"2,+9.910000E+37\": -230,\"Measurement invalid;input overload"},
        // The capture (200 ms) outlasts the poll's deadline.
        {hasty, "pkteng=tx\n", Fault::Timeout, "STATUS:WLAN:STATE?: still \"RUN\", not \"RDY\", after 30 ms"},
    };
    for (const Case &c : cases) {
        Tester t(c.p, sim.resource());
        Error err;
        ASSERT_TRUE(t.selectPort(1, &err)) << err.message;
        radio(c.radio);
        ASSERT_TRUE(t.setupAnalyser(AnalyserSetup{2437, 20, expected}, &err)) << err.message;
        Measurement m;
        bool ok = t.measure(&m, &err);
        ASSERT_EQ(ok, c.fault == Fault::None) << c.radio << err.message;
        if (ok) {
            EXPECT_NEAR(m.powerDbm, expected, 0.5);
            EXPECT_NEAR(m.evmDb, truth.evmFloorDb, 1.5);
            EXPECT_NEAR(m.freqErrorPpm, truth.crystalPpm, 0.3);
        } else {
            EXPECT_EQ(err.fault, c.fault) << err.message;
            EXPECT_NE(err.message.find(c.says), std::string::npos) << err.message;
        }
    }

    // The generator takes the waveform's name for the rate.
    Tester t(lab, sim.resource());
    Error err;
    radio("rxarmed=1\n");
    ASSERT_TRUE(t.selectPort(1, &err)) << err.message;
    ASSERT_TRUE(t.setupGenerator(GeneratorSetup{2437, 20, -50, 7}, &err)) << err.message;
    ASSERT_TRUE(t.sendFrames(500, &err)) << err.message;
    std::string total;
    EXPECT_GE(readWhole(dir + "/rxgen", &total, &why) ? atol(total.c_str()) : 0, 495);
    EXPECT_FALSE(t.setupGenerator(GeneratorSetup{2437, 20, -50, 30}, &err));
    EXPECT_NE(err.message.find("rate 30 is not in the profile's map waveform"), std::string::npos) << err.message;
}

// The simulated radio's PA model and the units drawn from seeds: what the
// calibration's measurements stand on.
TEST(SimulatedUnit, PaCurvesAreUsableAndUnitsReproducible) {
    // The shipped defaults rise over 5-21 dBm, and the loop reaches every
    // set power within a code's step.
    for (int chain = 0; chain < 2; chain++) {
        double prev = -INFINITY;
        for (double p = 5; p <= 21.0001; p += 0.25) {
            int t = pa::detectorCode(pa::kDefault[chain], p);
            double est;
            ASSERT_TRUE(pa::power(pa::kDefault[chain], t, &est));
            EXPECT_NEAR(est, p, 0.02) << "chain " << chain << " at " << p;
            EXPECT_GT(est, prev) << "chain " << chain << " at " << p;
            prev = est;
        }
    }
    // Every unit is off somewhere by 0.5-3 dB before calibration, and
    // transmits what it is asked for with its own coefficients; the same
    // seed is the same unit.
    for (uint64_t seed = 1; seed <= 100; seed++) {
        sim::UnitTruth u = sim::truthFromSeed(seed);
        for (int chain = 0; chain < 2; chain++) {
            double worst = sim::worstError(pa::kDefault[chain], u.pa[chain]);
            EXPECT_GE(worst, 0.5) << seed;
            EXPECT_LE(worst, 3.0) << seed;
            EXPECT_LT(sim::worstError(u.pa[chain], u.pa[chain]), 0.02) << seed;
        }
        sim::UnitTruth again = sim::truthFromSeed(seed);
        EXPECT_EQ(again.pa[1].c3, u.pa[1].c3);
        EXPECT_EQ(again.crystalPpm, u.crystalPpm);
    }
    // A broken PA folds back: no rising curve to fit.
    TempDir tmp;
    const std::string &dir = tmp.path();
    writeFile(dir + "/unit", "seed 9\nfault broken-pa\nfault bad-crystal\n");
    sim::UnitTruth broken = sim::loadTruth(dir);
    EXPECT_LT(broken.output(0, pa::detectorCode(broken.pa[0], 20)), broken.output(0, pa::detectorCode(broken.pa[0], 14)));
    EXPECT_GE(std::fabs(broken.crystalPpm), 25);
}
