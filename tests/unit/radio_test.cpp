// Radio command primitives and the continuous transmit worker.
#include <atomic>
#include <chrono>
#include <thread>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util/hostcmd.h"

#include "fake_host.h"
#include "proto/testmsg.h"
#include "radio/cyctx.h"
#include "radio/wl.h"

using Lines = std::vector<std::string>;

class RadioTest : public AgentTest {};

TEST_F(RadioTest, ChanspecBandAndSideband)
{
    struct {
        int channel, width;
        const char *cmd;
    } cases[] = {
        {6, 40, "wl chanspec -c 6 -b 2 -w 40 -s -1"},  {7, 40, "wl chanspec -c 7 -b 2 -w 40 -s 1"},
        {14, 20, "wl chanspec -c 14 -b 2 -w 20 -s 0"}, {36, 40, "wl chanspec -c 36 -b 5 -w 40 -s 1"},
        {15, 40, "wl chanspec -c 15 -b 5 -w 40 -s 1"}, {6, 80, "wl chanspec -c 6 -b 2 -w 80 -s 0"},
        {15, 20, "wl chanspec -c 15 -b 5 -w 20 -s 0"},
    };
    for (const auto &c : cases) {
        host.runs.clear();
        EXPECT_EQ(_exec_setChanspec(c.channel, c.width), 0);
        EXPECT_EQ(host.runs, Lines{c.cmd});
    }
}

TEST_F(RadioTest, NrateFormsAndTableEnds)
{
    struct {
        int index;
        const char *cmd;
    } cases[] = {
        {0, "wl nrate -r 1"},        {14, "wl nrate -r 54"},       {15, "wl nrate -m 0 -s 0"},
        {22, "wl nrate -m 7 -s 0"},  {23, "wl nrate -m 7 -s 3"},   {31, "wl nrate -m 15 -s 3"},
        {32, "wl nrate -m 15 -s 3"}, {48, "wl nrate -m 31 -s 3"},
    };
    for (const auto &c : cases) {
        host.runs.clear();
        EXPECT_EQ(_exec_setNrate(c.index), 0);
        EXPECT_EQ(host.runs, Lines{c.cmd});
    }
    log();
    // Past the table: nothing is run and the refusal is logged.
    host.runs.clear();
    EXPECT_EQ(_exec_setNrate(49), -1);
    EXPECT_EQ(_exec_setNrate(255), -1);
    EXPECT_TRUE(host.runs.empty());
    Lines lines = logLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "set nrate fail: rate index 49 out of range 0-48");
}

TEST_F(RadioTest, TxPowerInQuarterStepsTruncated)
{
    struct {
        float power;
        const char *cmd;
    } cases[] = {{17.5f, "wl txpwr1 -o -q 70"}, {16.3f, "wl txpwr1 -o -q 65"}, {0.1f, "wl txpwr1 -o -q 0"},
                 {0.25f, "wl txpwr1 -o -q 1"},  {0.0f, "wl txpwr1 -o -q 0"},
                 // A fraction of a quarter of one half or more is cut, not
                 // rounded up; below zero the cut is toward zero.
                 {16.4f, "wl txpwr1 -o -q 65"}, {0.2f, "wl txpwr1 -o -q 0"}, {17.7f, "wl txpwr1 -o -q 70"},
                 {-0.3f, "wl txpwr1 -o -q -1"}, {-16.3f, "wl txpwr1 -o -q -65"}, {-16.4f, "wl txpwr1 -o -q -65"}};
    for (const auto &c : cases) {
        host.runs.clear();
        _exec_setTxPower(c.power);
        EXPECT_EQ(host.runs, Lines{c.cmd}) << c.power;
    }
}

TEST_F(RadioTest, ChainsUseAntennaPlusOne)
{
    _exec_setTxChain(0);
    _exec_setTxChain(1);
    _exec_setTxChain(255);
    _exec_setRxChain(1);
    EXPECT_EQ(host.runs, (Lines{"wl txchain 1", "wl txant 0", "wl txchain 2", "wl txant 1", "wl txchain 256",
                                "wl txant 255", "wl rxchain 2"}));
    log();

    // A first command the shell cannot run stops the pair.
    host.runs.clear();
    host.shellFailPrefixes = {"wl txchain"};
    EXPECT_EQ(_exec_setTxChain(0), -1);
    EXPECT_EQ(host.runs, Lines{"wl txchain 1"});
    EXPECT_EQ(logLines(), (Lines{"wl txchain 1", "set txchain fail"}));
}

// Every primitive: its exact text, whether it is logged first, its failure
// message when the shell cannot run.
TEST_F(RadioTest, LoggedOrNotAndFailureMessages)
{
    struct {
        int (*call)();
        const char *cmd;
        bool logged;
        const char *fail;
    } cases[] = {
        {[] { return _exec_wlUpDown(1); }, "wl up", false, "set ap up or down fail"},
        {[] { return _exec_wlUpDown(0); }, "wl down", false, "set ap up or down fail"},
        {[] { return _exec_setBandB(); }, "wl band b", true, "set band fail"},
        {[] { return _exec_setMimoTxbw(4); }, "wl mimo_txbw 4", true, "set mimo txbw fail"},
        {[] { return _exec_setRxChain(0); }, "wl rxchain 1", true, "set rxchain fail"},
        {[] { return _exec_setChanspec(1, 20); }, "wl chanspec -c 1 -b 2 -w 20 -s 0", true, "set chanspec fail"},
        {[] { return _exec_setNrate(3); }, "wl nrate -r 5", true, "set nrate fail"},
        {[] { return _exec_setTxPower(1.0f); }, "wl txpwr1 -o -q 4", true, "set Targetpower fail"},
        {[] { return _exec_startPktEng(); }, "wl pkteng_start 00:11:22:33:44:55 tx 50 1000 0", true,
         "start send tx frames fail"},
        {[] { return _exec_stopPktEng(); }, "wl pkteng_stop tx", false, "set pkteng_stop fail"},
        {[] { return _exec_clearSsid(); }, "wl ssid \"\"", false, "set ssid fail"},
        {[] { return _exec_killAcsd(); }, "killall -9 acsd 2>/dev/null", false, "kill acsd failed"},
        {[] { return _exec_forceCal(); }, "wl phy_forcecal 1", false, "set phy_forcecal fail"},
    };
    for (const auto &c : cases) {
        host.runs.clear();
        host.shellFailPrefixes.clear();
        EXPECT_EQ(c.call(), 0) << c.cmd;
        EXPECT_EQ(host.runs, Lines{c.cmd});
        EXPECT_EQ(logLines(), c.logged ? Lines{c.cmd} : Lines{}) << c.cmd;

        host.shellFailPrefixes = {c.cmd};
        EXPECT_EQ(c.call(), -1) << c.cmd;
        Lines expect = c.logged ? Lines{c.cmd, c.fail} : Lines{c.fail};
        EXPECT_EQ(logLines(), expect);
    }
}

TEST_F(RadioTest, UpOnlyWhenIsupPrintsOne)
{
    struct {
        const char *out;
        bool pipeFails;
        int ret;
        const char *failLine;
    } cases[] = {
        {"1", false, 1, nullptr},   {"1\n", false, 1, nullptr}, {"2", false, 0, nullptr},
        {"0", false, 0, nullptr},   {"11", false, 0, nullptr},  {"", false, 0, "fread fail."},
        {"1", true, 0, "_exec_isWlanUp create FILE fail"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("output '") + c.out + "'" + (c.pipeFails ? " pipe fails" : ""));
        host.defaultOutput["wl isup"] = c.out;
        host.pipeFails["wl isup"] = c.pipeFails;
        EXPECT_EQ(_exec_isWlanUp(), c.ret);
        Lines want = {"wl isup"};
        if (c.failLine)
            want.push_back(c.failLine);
        EXPECT_EQ(logLines(), want);
    }
}

// The worker's tests run real threads against the fake shell, which takes a
// little time per run and is a cancellation point, like the real one.
class CycTxTest : public AgentTest {
protected:
    void SetUp() override
    {
        AgentTest::SetUp();
        host.runDelayUs = 200;
    }
    void TearDown() override
    {
        stop();  // never leave a worker behind for the next test
        AgentTest::TearDown();
    }
    // Start and stop as the station sends them; whether a reply came.
    bool start() { return request(CMD_START_CYC_TX); }
    bool stop() { return request(CMD_STOP_CYC_TX); }
    bool request(uint8_t code)
    {
        size_t before = replies(code);
        deliver(makeRequest(code));
        return replies(code) == before + 1;
    }
    size_t pktengRuns() { return host.countRuns(kPktEng); }
    void waitForRuns(size_t n)
    {
        for (int i = 0; i < 5000 && pktengRuns() < n; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    size_t replies(uint8_t code)
    {
        std::lock_guard<std::mutex> lock(host.mu);
        size_t n = 0;
        for (const auto &f : host.frames)
            n += replyCode(f) == code;
        return n;
    }
    static constexpr const char *kPktEng = "wl pkteng_start 00:11:22:33:44:55 tx 50 1000 0";
};

TEST_F(CycTxTest, StartRunsBackToBackUntilStopped)
{
    EXPECT_TRUE(start());
    EXPECT_EQ(replies(CMD_START_CYC_TX), 1u);
    waitForRuns(5);
    EXPECT_TRUE(stop());
    EXPECT_EQ(replies(CMD_STOP_CYC_TX), 1u);

    // After the stop returns the worker is gone: no further runs.
    size_t after = pktengRuns();
    EXPECT_GE(after, 5u);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(pktengRuns(), after);
    EXPECT_EQ(host.countRuns("wl pkteng_stop tx"), 0u);

    // Besides the requests' code lines, the log is pairs of the announcement
    // and the command text.
    Lines lines;
    for (const auto &l : logLines())
        if (l.rfind("--cmdType = ", 0) != 0)
            lines.push_back(l);
    ASSERT_GE(lines.size(), 4u);
    for (size_t i = 0; i + 1 < lines.size(); i += 2) {
        if (lines[i] != "start send tx packet for DUT tool.")
            break;  // the last pair may be cut by the cancel
        EXPECT_EQ(lines[i + 1], kPktEng);
    }
}

TEST_F(CycTxTest, StopWithoutWorkerFailsSilently)
{
    EXPECT_FALSE(stop());
    EXPECT_TRUE(start());
    EXPECT_TRUE(stop());
    EXPECT_FALSE(stop());  // already stopped
    EXPECT_EQ(replies(CMD_STOP_CYC_TX), 1u);
    size_t failures = 0;
    for (const auto &l : logLines())
        failures += l == "Cancel dut cyc Tx thread error!\n";
    EXPECT_EQ(failures, 2u);
}

TEST_F(CycTxTest, SecondStartKeepsTheRunningWorker)
{
    EXPECT_TRUE(start());
    pthread_t first = tidDutCycThread;
    EXPECT_TRUE(start());
    EXPECT_TRUE(pthread_equal(first, tidDutCycThread));
    EXPECT_EQ(replies(CMD_START_CYC_TX), 2u);
    // One stop reaches it and nothing runs afterwards.
    EXPECT_TRUE(stop());
    size_t after = pktengRuns();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(pktengRuns(), after);
}

// The stop answers first and then waits for the worker: a command that is
// slow to die must not hold the reply back.
TEST_F(CycTxTest, StopRepliesBeforeWaitingForTheWorker)
{
    host.runDelayUs = 0;
    host.runEndsAtStopReply = true;
    ASSERT_TRUE(start());
    waitForRuns(1);
    {
        std::lock_guard<std::mutex> lock(host.mu);
        host.events.clear();
    }
    EXPECT_TRUE(stop());
    std::lock_guard<std::mutex> lock(host.mu);
    EXPECT_EQ(host.events, (Lines{"frame", std::string("ended: ") + kPktEng}))
        << "the stop must reply before it waits for the worker to end";
}

TEST_F(CycTxTest, ShellFailureEndsTheWorkerOnce)
{
    host.shellFailPrefixes = {"wl pkteng_start"};
    EXPECT_TRUE(start());
    waitForRuns(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(pktengRuns(), 1u);
    // The worker ended by itself: a stop finds nothing to cancel, and a new
    // start works again.
    EXPECT_FALSE(stop());
    host.shellFailPrefixes.clear();
    EXPECT_TRUE(start());
    waitForRuns(3);
    EXPECT_TRUE(stop());
    size_t failures = 0;
    for (const auto &l : logLines())
        failures += l == "start send tx frames fail";
    EXPECT_EQ(failures, 1u);
}

// Many start/stop cycles leave no thread behind (each is joined): the
// process's thread count is back where it started.
static int threadCount()
{
    FILE *f = fopen("/proc/self/status", "r");
    char line[256];
    int n = -1;
    while (f && fgets(line, sizeof(line), f))
        if (sscanf(line, "Threads: %d", &n) == 1)
            break;
    if (f)
        fclose(f);
    return n;
}

// A joined thread may still be on its way out of the kernel's count (under
// qemu-user the host thread ends after the guest's join returns): read the
// count until it has held still for a while.
static int settledThreadCount()
{
    int last = threadCount(), same = 0;
    for (int i = 0; i < 300 && same < 5; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        int now = threadCount();
        same = now == last ? same + 1 : 0;
        last = now;
    }
    return last;
}

static int fdCount()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr)
            n++;
        closedir(d);
    }
    return n;
}

TEST_F(CycTxTest, StartStopSoakLeavesNoThread)
{
    host.runDelayUs = 0;
    // One cycle first: a sanitizer's runtime starts a helper thread of its
    // own at the first thread creation.
    ASSERT_TRUE(start());
    ASSERT_TRUE(stop());
    int before = settledThreadCount();
    int fdsBefore = fdCount();
    for (int i = 0; i < 10000; i++) {
        ASSERT_TRUE(start());
        ASSERT_TRUE(stop());
        if (i % 1000 == 0) {
            std::lock_guard<std::mutex> lock(host.mu);
            host.runs.clear();
            host.events.clear();
            host.frames.clear();
            log();
        }
    }
    EXPECT_EQ(settledThreadCount(), before);
    EXPECT_EQ(fdCount(), fdsBefore);
}

// With the real shell: a `wl` that is still running when its worker is
// stopped is killed with the shell that started it, children included, and
// nothing is left behind.
TEST_F(CycTxTest, StopKillsASlowWlAndItsChildren)
{
    char dir[] = "/tmp/rfprobe-slowwl-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string d = dir;
    std::string pids = d + "/pids";
    FILE *f = fopen((d + "/wl").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fprintf(f, "#!/bin/sh\nsleep 30 &\necho $$ $! >> %s\nwait\n", pids.c_str());
    fclose(f);
    chmod((d + "/wl").c_str(), 0755);
    std::string oldPath = getenv("PATH");
    setenv("PATH", (d + ":" + oldPath).c_str(), 1);
    gHostOps = kRealHostOps;

    ASSERT_TRUE(start());
    long wlPid = 0, sleepPid = 0;
    for (int i = 0; i < 5000 && wlPid == 0; i++) {
        FILE *p = fopen(pids.c_str(), "r");
        if (p) {
            if (fscanf(p, "%ld %ld", &wlPid, &sleepPid) != 2)
                wlPid = 0;
            fclose(p);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_NE(wlPid, 0);
    ASSERT_TRUE(stop());

    // SIGKILL is delivered asynchronously and init reaps the orphans: poll.
    bool gone = false;
    for (int i = 0; i < 500 && !gone; i++) {
        gone = processGone((pid_t)wlPid) && processGone((pid_t)sleepPid);
        if (!gone)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone);
    // Only one run: it was still going when the stop came.
    FILE *p = fopen(pids.c_str(), "r");
    int lines = 0;
    for (int c; p && (c = fgetc(p)) != EOF;)
        lines += c == '\n';
    if (p)
        fclose(p);
    EXPECT_EQ(lines, 1);

    setenv("PATH", oldPath.c_str(), 1);
    unlink((d + "/wl").c_str());
    unlink(pids.c_str());
    rmdir(dir);
}
