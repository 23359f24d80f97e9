// The transport with several units at once: Ctrl-C ends every thread's
// wait, whatever it waits for, and a unit's messages go where its link says.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "station/runner/run.h"
#include "station_test_util.h"

using namespace station;

namespace {

struct Kept {
    Notes lines;
};

// In a child process: the interrupt stays set once raised.
void everyWaitEndsOnInterrupt() {
    catchInterrupts();
    Options opt;
    defaultOptions(&opt);
    opt.timeoutMs = 60000;
    std::atomic<int> ended{0};
    std::vector<std::thread> units;
    for (int k = 0; k < 3; ++k)
        units.emplace_back([&] {
            if (!waitMs(60000)) ++ended;
        });
    // A unit waiting for replies on its socket (nothing is sent).
    Kept kept;
    Link l;
    l.notes = &kept.lines;
    if (openLink(opt, &l) != kExitOk) std::_Exit(10);
    units.emplace_back([&] {
        TestMsg reply{};
        char from[kFromLen];
        int status = -1;
        if (!nextReply(l, opt, &reply, from, &status) && status == kExitOk) ++ended;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto t0 = std::chrono::steady_clock::now();
    raise(SIGINT);
    for (std::thread &t : units) t.join();
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    closeLink(&l);
    // Every thread woke at once (not at the end of a poll slice), later
    // waits end at once too, and the process lives on; a unit's messages go to its link's notes, not to
    // standard error.
    say(l, "%s: interrupted", "set-channel");
    bool noted = kept.lines.size() == 1 && kept.lines[0] == "set-channel: interrupted";
    std::_Exit(ended == 4 && s < 0.9 && !waitMs(0) && noted ? 0 : 20);
}

TEST(TransportDeathTest, CtrlCEndsTheWaitOfEveryUnit) {
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(everyWaitEndsOnInterrupt(), testing::ExitedWithCode(0), "");
}

}  // namespace

// A unit stopped on the operator page: the waits on its token end, at once
// and for good (a later wait too), the other units' go on; nothing
// process-wide.
TEST(Transport, AStopEndsTheWaitsOfItsOwnTokenAlone) {
    Options opt;
    defaultOptions(&opt);
    opt.timeoutMs = 60000;
    cancel::Token stopped(&cancel::process()), other(&cancel::process());
    std::atomic<bool> stoppedEnded{false}, laterEnded{false}, socketEnded{false};
    std::atomic<bool> otherEnded{false};
    Link l;
    ASSERT_EQ(openLink(opt, &l), kExitOk);
    l.stop = &stopped;
    std::thread a([&] {
        stoppedEnded = !waitMs(60000, &stopped);
        laterEnded = !waitMs(60000, &stopped);
    });
    std::thread b([&] {  // the same stop, waiting on a socket
        TestMsg reply{};
        char from[kFromLen];
        int status = -1;
        socketEnded = !nextReply(l, opt, &reply, from, &status) && status == kExitOk;
    });
    std::thread c([&] { otherEnded = !waitMs(1500, &other); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto t0 = std::chrono::steady_clock::now();
    stopped.raise();
    a.join();
    b.join();
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    c.join();
    closeLink(&l);
    EXPECT_TRUE(stoppedEnded && laterEnded && socketEnded);
    EXPECT_LT(s, 1.0);
    EXPECT_FALSE(otherEnded);  // waited its whole 1.5 s
    EXPECT_FALSE(interruptedBySignal());
    EXPECT_TRUE(waitMs(0));  // the process's token was not raised
}
