// Start-up, gating by the factory-test flag, the radio wait, the smd notice
// and the finish command.
//
// Paths that end the process run in death-test children.  A child that could
// reach the capture loop first gets private mount and network namespaces and
// loses CAP_NET_RAW, so no capture can be opened: the loop ends the process
// with status 1 at once, and nothing ever leaves the child.
#include <cstdlib>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/commands.h"
#include "app/lifecycle.h"
#include "fake_host.h"
#include "platform/cms_msg.h"
#include "proto/capture.h"
#include "proto/reply.h"
#include "proto/testmsg.h"
#include "radio/testproc.h"
#include "util/hostcmd.h"

namespace {

const char *const kFlagCmd = "cat /proc/nvram/IsFactoryTest";
const char *const kNoticeLine = "send msg id\\[0X1000080A\\] to smd, \\(wordData=503\\)\n";
// Serving starts, and the capture cannot be opened in an isolated child: with
// no interface up libpcap offers "any" (warned about), and without the right
// to capture the hint follows libpcap's error.
const char *const kServeFails = "Begin to recv msg...\nsuccess: device: [^\n]*\n\r\n"
                                "(warning: no network interface is up: [^\n]*\r\n)?error: [^\n]*\n\r\n"
                                "(error: capturing needs root or the CAP_NET_RAW capability: [^\n]*\r\n)?";

// Private mount and network namespaces with a fresh tmpfs over the run
// directory (so no smd socket is reachable); false when not permitted.
bool isolate()
{
    return unshare(CLONE_NEWNS | CLONE_NEWNET) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("tmpfs", "/var/run", "tmpfs", 0, "size=1m") == 0;
}

// Drops CAP_NET_RAW, so that no capture device can be opened.
bool dropNetRaw()
{
    __user_cap_header_struct h = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct d[2];
    if (syscall(SYS_capget, &h, d) != 0)
        return false;
    d[0].effective &= ~(1u << CAP_NET_RAW);
    d[0].permitted &= ~(1u << CAP_NET_RAW);
    return syscall(SYS_capset, &h, d) == 0;
}

// Whether a child may isolate itself; probed once in a throwaway child.
bool canIsolate()
{
    static int ok = -1;
    if (ok < 0) {
        pid_t pid = fork();
        if (pid == 0)
            _exit(isolate() && dropNetRaw() ? 0 : 1);
        int st = 0;
        ok = pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st) && WEXITSTATUS(st) == 0;
    }
    return ok == 1;
}

// In a death-test child: the log goes, unbuffered, to the standard error
// that the parent checks, so both streams keep their order.
void logToStderr()
{
    fflush(stdout);
    dup2(2, 1);
    setvbuf(stdout, nullptr, _IONBF, 0);
}

// Runs main's body in an isolated child; it never returns.
[[noreturn]] void runMainIsolated(std::vector<const char *> args)
{
    if (!isolate() || !dropNetRaw())
        _exit(99);
    logToStderr();
    alarm(20);  // a capture that opened after all must not hang the run
    args.push_back(nullptr);
    optind = 0;
    exit(rfprobeMain((int)args.size() - 1, const_cast<char **>(args.data())));
}

class LifecycleTest : public AgentTest {
protected:
    void SetUp() override
    {
        AgentTest::SetUp();
        // qemu-user cannot re-execute a target binary: fork only there.
        GTEST_FLAG_SET(death_test_style, getenv("RFPROBE_UNDER_QEMU") ? "fast" : "threadsafe");
    }
};

TEST_F(LifecycleTest, FlagDecidesWhetherToServe)
{
    struct {
        const char *out;
        bool pipeFails;
        int ret;
        std::vector<std::string> log;
    } cases[] = {
        {"0", false, 1, {kFlagCmd}},
        {"0\n", false, 1, {kFlagCmd}},
        {"1\n", false, 0, {kFlagCmd}},
        {"2", false, 0, {kFlagCmd}},
        {" -1", false, 0, {kFlagCmd}},
        {"abc", false, 1, {kFlagCmd}},
        {"", false, -1, {kFlagCmd, "fread fail."}},
        {"", true, 0, {kFlagCmd, "DutNoNeedRunRfTest create FILE fail"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("output '") + c.out + "'" + (c.pipeFails ? " pipe fails" : ""));
        host.defaultOutput[kFlagCmd] = c.out;
        host.pipeFails[kFlagCmd] = c.pipeFails;
        EXPECT_EQ(DutNoNeedRunRfTest(), c.ret);
        EXPECT_EQ(logLines(), c.log);
    }
}

TEST_F(LifecycleTest, RadioWaitNeedsThreeUpReadingsInARowWithinTenPolls)
{
    struct {
        std::deque<std::string> readings;
        int polls;
    } cases[] = {
        {{"1", "1", "1"}, 3},
        {{"1", "1", "0", "1", "1", "1"}, 6},
        {{"1", "1", "2", "1", "1", "1"}, 6},
        {{"1", "", "1", "1", "1"}, 5},
        {{}, 10},  // 0 throughout
        {{"0", "0", "0", "0", "0", "0", "0", "1", "1", "1"}, 10},
        {{"0", "0", "0", "0", "0", "0", "0", "0", "1", "1", "1"}, 10},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::vector<std::string>(c.readings.begin(), c.readings.end())));
        host.events.clear();
        host.sleeps = 0;
        host.defaultOutput["wl isup"] = "0";
        host.outputs["wl isup"] = c.readings;
        waitForRadio();
        EXPECT_EQ(host.events, std::vector<std::string>(c.polls, "read: wl isup"));
        EXPECT_EQ(host.sleeps, c.polls);
    }
    log();
}

TEST_F(LifecycleTest, NoticeWithoutSmdFailsQuickly)
{
    gMsgHandle = nullptr;
    testing::internal::CaptureStderr();
    sendSmdNotice();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("send msg id[0X1000080A] to smd, (wordData=503)\nret = ", 0), 0u) << err;
    EXPECT_EQ(err.find("ret = 0\n"), std::string::npos) << err;
    EXPECT_EQ(err.back(), '\n');
    EXPECT_EQ(log(), "");
}

// Plays smd: takes one message, answers status 7, then counts any further
// bytes until the agent closes the link.
void smdListener(int srv)
{
    int c = accept(srv, nullptr, nullptr);
    if (c < 0)
        return;
    uint8_t buf[64];
    size_t got = 0;
    ssize_t n;
    while (got < kCmsMsgHeaderLen && (n = read(c, buf + got, sizeof(buf) - got)) > 0)
        got += (size_t)n;
    int32_t status = 7;
    if (write(c, &status, sizeof(status)) != sizeof(status))
        return;
    while ((n = read(c, buf + got, sizeof(buf) - got)) > 0)
        got += (size_t)n;
    uint32_t w[7] = {};
    memcpy(w, buf, sizeof(w));
    fprintf(stderr, "smd got %zu:", got);
    for (uint32_t x : w)
        fprintf(stderr, " %x", x);
    fprintf(stderr, "\n");
    close(c);
}

TEST_F(LifecycleTest, NoticeReachesSmdInNativeOrder)
{
    if (!canIsolate())
        GTEST_SKIP() << "needs private namespaces (root)";
    auto child = [] {
        if (!isolate())
            _exit(99);
        int srv = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, kSmdSocketPath, sizeof(addr.sun_path) - 1);
        if (srv < 0 || bind(srv, (sockaddr *)&addr, sizeof(addr)) != 0 || listen(srv, 1) != 0)
            _exit(98);
        std::thread smd(smdListener, srv);
        cmsMsg_init(EID_RFPROBE, &gMsgHandle);
        sendSmdNotice();
        cmsMsg_cleanup(&gMsgHandle);
        smd.join();
        exit(gMsgHandle == nullptr ? 0 : 97);
    };
    EXPECT_EXIT(child(), testing::ExitedWithCode(0),
                std::string(kNoticeLine) + "ret = 7\nsmd got 28: 1000080a 1f7 14 40000000 0 1f7 0\n$");
}

TEST_F(LifecycleTest, FinishedUnitOnlySendsTheNotice)
{
    if (!canIsolate())
        GTEST_SKIP() << "needs private namespaces (root)";
    for (const char *flag : {"1", "2"}) {
        SCOPED_TRACE(flag);
        host.defaultOutput[kFlagCmd] = flag;
        host.defaultOutput["wl isup"] = "1";
        EXPECT_EXIT(runMainIsolated({"rfprobe"}), testing::ExitedWithCode(0),
                    std::string("cat /proc/nvram/IsFactoryTest\r\n") + kNoticeLine + "ret = -?[1-9][0-9]*\n$");
    }
}

TEST_F(LifecycleTest, UnitToTestWaitsForRadioThenServes)
{
    if (!canIsolate())
        GTEST_SKIP() << "needs private namespaces (root)";
    // Empty flag output serves too, after its failure line.
    for (const char *flag : {"0", ""}) {
        SCOPED_TRACE(flag);
        host.defaultOutput[kFlagCmd] = flag;
        host.defaultOutput["wl isup"] = "1";
        // The capture cannot open here: exit 1 right after serving starts.
        EXPECT_EXIT(runMainIsolated({"rfprobe"}), testing::ExitedWithCode(1),
                    std::string("cat /proc/nvram/IsFactoryTest\r\n") + (*flag ? "" : "fread fail.\r\n") +
                        "wl isup\r\nwl isup\r\nwl isup\r\n" + kServeFails + "$");
    }
}

TEST_F(LifecycleTest, ManualModeServesAtOnce)
{
    if (!canIsolate())
        GTEST_SKIP() << "needs private namespaces (root)";
    struct {
        std::vector<const char *> args;
        int lines;
    } cases[] = {
        {{"rfprobe", "-m"}, 1},
        {{"rfprobe", "-m", "-m"}, 2},
        {{"rfprobe", "-mm"}, 2},
        {{"rfprobe", "-x", "-m", "operand"}, 1},
    };
    // A flag that says "finished" would stop a normal start: manual mode
    // never reads it, never waits for the radio and never talks to smd.
    host.defaultOutput[kFlagCmd] = "1";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.size());
        std::string want;
        for (int i = 0; i < c.lines; i++)
            want += "Enter manual test mode!\n";
        auto child = [&] {
            gLastTestItem = TestItem{1, 2, 1, 7};
            atexit([] {
                fprintf(stderr, "last %d %d %d\n", gLastTestItem.channel, gLastTestItem.is40MHz,
                        gLastTestItem.rateIndex);
            });
            runMainIsolated(c.args);
        };
        EXPECT_EXIT(child(), testing::ExitedWithCode(1),
                    "(^|\n)" + want + kServeFails + "last 100 3 0\n$");
    }
}

// The finish command in the packet loop.  With the flag written: the flag
// command (not logged), the reply, and serving ends before the next frame
// (main then exits with status 1, without the notice).  Without it: no reply,
// and serving goes on.
TEST_F(LifecycleTest, FinishRepliesAndEndsServingOnlyWithTheFlagWritten)
{
    // The reply expected: the all-zero short reply with code 9b.
    std::vector<uint8_t> reply = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0x3a, 0x91, 0x5c, 0x7e, 0x48, 0x08, 0x00,
                                  0x45, 0x00, 0x00, 0x34, 0x00, 0x00, 0x00, 0x00, 0x40, 0x11, 0xb9, 0x10, 0xc0, 0xa8,
                                  0x01, 0x01, 0xff, 0xff, 0xff, 0xff, 0x04, 0x24, 0x04, 0x26, 0x00, 0x20, 0x00, 0x00,
                                  0x7f, 0x52, 0x46, 0x50, 0x52, 0x4f, 0x42, 0x45, 0x00, 0x00, 0x9b};
    reply.resize(kReplyFrameLen, 0);
    const std::string flagCmd = "echo 1 > /proc/nvram/IsFactoryTest";
    // What the shell reports: written; not run; run, but the write refused
    // (a read-only flag store: the shell's status 2).
    struct {
        bool shellFails;
        int status;
        bool written;
    } cases[] = {{false, 0, true}, {true, 0, false}, {false, 2 << 8, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.shellFails << " " << c.status);
        host.events.clear();
        host.frames.clear();
        host.shellFailPrefixes.clear();
        if (c.shellFails)
            host.shellFailPrefixes = {"echo 1 >"};
        host.shellStatus = {{"echo 1 >", c.status}};
        MemCapture cap(DLT_EN10MB, 256, {makeRequest(CMD_FINISH_TEST), makeRequest(CMD_SET_CHANNEL, 6)});
        ASSERT_NE(cap.p, nullptr);
        ServeEnd end = serveTestFrames(cap.p, kAgentCommands);
        if (c.written) {
            EXPECT_EQ(end, kServeFinished);
            EXPECT_EQ(host.events, (std::vector<std::string>{"run: " + flagCmd, "frame"}));
            ASSERT_EQ(host.frames.size(), 1u);
            EXPECT_EQ(host.frames[0], reply);
            EXPECT_EQ(logLines(), (std::vector<std::string>{"--cmdType = 9b"}));
        } else {
            EXPECT_EQ(end, kServeLoopEnded);
            EXPECT_EQ(host.events, (std::vector<std::string>{"run: " + flagCmd, "frame"}));
            ASSERT_EQ(host.frames.size(), 1u);
            EXPECT_EQ(replyCode(host.frames[0]), CMD_SET_CHANNEL);
            EXPECT_EQ(logLines(),
                      (std::vector<std::string>{"--cmdType = 9b", "set factory test flag fail", "--cmdType = 82"}));
        }
    }
}

// With the real shell: whatever stops the agent ends the commands it runs.
// Each command starts a child and writes "<shell pid> <child pid>" to a file.
std::vector<long> waitForPids(const std::string &file)
{
    for (int i = 0; i < 10000; i++) {
        long a = 0, b = 0;
        FILE *f = fopen(file.c_str(), "r");
        if (f != nullptr) {
            int n = fscanf(f, "%ld %ld", &a, &b);
            fclose(f);
            if (n == 2)
                return {a, b};
        }
        usleep(1000);
    }
    return {};
}

TEST_F(LifecycleTest, StopSignalEndsTheCommandsOfBothThreadsAndTheAgent)
{
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "ThreadSanitizer holds a signal back while its thread waits in a system call";
#endif
    char dir[] = "/tmp/rfprobe-stop-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string run = std::string(dir) + "/run", read = std::string(dir) + "/read";
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
        SCOPED_TRACE(strsignal(sig));
        unlink(run.c_str());
        unlink(read.c_str());
        pid_t agent = fork();
        ASSERT_GE(agent, 0);
        if (agent == 0) {
            struct rlimit noCore = {0, 0};
            setrlimit(RLIMIT_CORE, &noCore);
            installStopHandlers();
            // The worker's kind of command on a second thread, a read on this one.
            std::string runCmd = "sleep 30 & echo $$ $! > " + run + "; wait";
            std::string readCmd = "sleep 30 & echo $$ $! > " + read + "; wait";
            std::thread worker([&] { kRealHostOps.runShell(runCmd.c_str()); });
            char out[16];
            kRealHostOps.readPipe(readCmd.c_str(), out, sizeof(out));
            _exit(3);  // not reached: the signal ends the process
        }
        std::vector<long> pids = waitForPids(run), readPids = waitForPids(read);
        pids.insert(pids.end(), readPids.begin(), readPids.end());
        EXPECT_EQ(pids.size(), 4u);
        kill(agent, sig);
        int status = 0;
        pid_t got = 0;
        for (int i = 0; i < 1000 && got == 0; i++) {
            got = waitpid(agent, &status, WNOHANG);
            if (got == 0)
                usleep(10000);
        }
        if (got == 0) {
            kill(agent, SIGKILL);
            waitpid(agent, &status, 0);
            ADD_FAILURE() << "the agent did not end on the signal";
        }
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "wait status " << status;
        // Killed before the agent ended; reaped by whoever inherited them.
        auto allGone = [&] {
            for (long pid : pids)
                if (!processGone((pid_t)pid))
                    return false;
            return true;
        };
        for (int i = 0; i < 500 && !allGone(); i++)
            usleep(10000);
        for (long pid : pids) {
            EXPECT_TRUE(processGone((pid_t)pid)) << "pid " << pid << " outlived the agent";
            kill((pid_t)pid, SIGKILL);
        }
    }
    unlink(run.c_str());
    unlink(read.c_str());
    rmdir(dir);
}

TEST_F(LifecycleTest, ReadCommandsGetTheirOwnGroupAndTheDefaultSigpipe)
{
    struct sigaction ignore = {}, old;
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);  // as the agent runs
    char out[kOutBufSize] = {};
    long n = kRealHostOps.readPipe("cut -d' ' -f1,5 /proc/$$/stat; grep SigIgn /proc/$$/status", out,
                                   sizeof(out) - 1);
    sigaction(SIGPIPE, &old, nullptr);
    ASSERT_GT(n, 0);
    long pid = 0, pgrp = 0;
    unsigned long long ignored = ~0ull;
    ASSERT_EQ(sscanf(out, "%ld %ld SigIgn: %llx", &pid, &pgrp, &ignored), 3) << out;
    EXPECT_EQ(pid, pgrp) << "the shell leads a group of its own";
    EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << "SIGPIPE ignored in the command";
}

}  // namespace
