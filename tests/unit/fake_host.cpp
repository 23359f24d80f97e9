#include "fake_host.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <pthread.h>
#include <unistd.h>
#include <utility>

#include "app/commands.h"
#include "proto/dispatch.h"
#include "proto/reply.h"
#include "proto/testmsg.h"
#include "util/hostcmd.h"

FakeHost *FakeHost::current = nullptr;

static bool startsWith(const std::string &s, const std::string &p)
{
    return s.compare(0, p.size(), p) == 0;
}

static bool stopReplySince(FakeHost *h, size_t from)
{
    std::lock_guard<std::mutex> lock(h->mu);
    for (size_t i = from; i < h->frames.size(); i++)
        if (replyCode(h->frames[i]) == CMD_STOP_CYC_TX)
            return true;
    return false;
}

static int fakeRunShell(const char *cmd)
{
    FakeHost *h = FakeHost::current;
    unsigned delay;
    bool fail = false;
    int status = 0;
    bool untilStopReply;
    size_t framesBefore;
    pthread_testcancel();  // the real shell wait is a cancellation point
    {
        std::lock_guard<std::mutex> lock(h->mu);
        framesBefore = h->frames.size();
        h->events.push_back(std::string("run: ") + cmd);
        h->runs.push_back(cmd);
        for (const auto &p : h->shellFailPrefixes)
            if (startsWith(cmd, p))
                fail = true;
        for (const auto &p : h->shellStatus)
            if (startsWith(cmd, p.first))
                status = p.second;
        delay = h->runDelayUs;
        untilStopReply = h->runEndsAtStopReply;
    }
    if (untilStopReply) {
        // Not a cancellation point: the worker goes on to its next one.
        int state;
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
        for (int i = 0; i < 5000 && !stopReplySince(h, framesBefore); i++)
            usleep(1000);
        {
            std::lock_guard<std::mutex> lock(h->mu);
            h->events.push_back(std::string("ended: ") + cmd);
        }
        pthread_setcancelstate(state, nullptr);
    }
    if (delay)
        usleep(delay);  // a cancellation point, like the real shell wait
    return fail ? -1 : status;
}

static long fakeReadPipe(const char *cmd, char *buf, size_t max)
{
    FakeHost *h = FakeHost::current;
    std::lock_guard<std::mutex> lock(h->mu);
    h->events.push_back(std::string("read: ") + cmd);
    if (h->pipeFails[cmd])
        return -1;
    std::string out;
    auto &q = h->outputs[cmd];
    if (!q.empty()) {
        out = q.front();
        q.pop_front();
    } else {
        out = h->defaultOutput[cmd];
    }
    size_t n = out.size() < max ? out.size() : max;
    memcpy(buf, out.data(), n);
    return (long)n;
}

static void fakeSleep(unsigned)
{
    FakeHost::current->sleeps++;
}

static int fakeSend(const uint8_t *frame, size_t len)
{
    FakeHost *h = FakeHost::current;
    std::lock_guard<std::mutex> lock(h->mu);
    h->frames.emplace_back(frame, frame + len);
    h->events.push_back("frame");
    return h->sendResult;
}

void FakeHost::install()
{
    current = this;
    gHostOps.runShell = fakeRunShell;
    gHostOps.readPipe = fakeReadPipe;
    gHostOps.sleepSec = fakeSleep;
    gSendFrame = fakeSend;
}

std::vector<std::string> FakeHost::runsStartingWith(const std::string &prefix)
{
    std::lock_guard<std::mutex> lock(mu);
    std::vector<std::string> r;
    for (const auto &c : runs)
        if (startsWith(c, prefix))
            r.push_back(c);
    return r;
}

size_t FakeHost::countRuns(const std::string &cmd)
{
    std::lock_guard<std::mutex> lock(mu);
    size_t n = 0;
    for (const auto &c : runs)
        n += c == cmd;
    return n;
}

// The test whose log is being captured, from its SetUp to its TearDown.
static AgentTest *sCapturing = nullptr;

void AgentTest::SetUp()
{
    host.install();
    fflush(stdout);
    // A threadsafe death test runs SetUp again in a fresh process that ends
    // without TearDown: a capture there would leave its temporary file in
    // /tmp on every run. Its log is not read, so it goes nowhere instead.
    if (!GTEST_FLAG_GET(internal_run_death_test).empty()) {
        int fd = open("/dev/null", O_WRONLY);
        if (fd >= 0) {
            dup2(fd, 1);
            close(fd);
        }
        return;
    }
    ::testing::internal::CaptureStdout();
    capturing = true;
    sCapturing = this;
}

void AgentTest::TearDown()
{
    sCapturing = nullptr;
    if (capturing) {
        fflush(stdout);
        ::testing::internal::GetCapturedStdout();
        capturing = false;
    }
    gHostOps = kRealHostOps;
}

void AgentTest::pauseCapture()
{
    AgentTest *t = sCapturing;
    if (t == nullptr || !t->capturing)
        return;
    fflush(stdout);
    t->captured += ::testing::internal::GetCapturedStdout();
    t->capturing = false;
}

void AgentTest::resumeCapture()
{
    AgentTest *t = sCapturing;
    if (t == nullptr || t->capturing)
        return;
    fflush(stdout);
    ::testing::internal::CaptureStdout();
    t->capturing = true;
}

std::string AgentTest::log()
{
    fflush(stdout);
    if (!capturing)
        return std::exchange(captured, std::string());
    captured += ::testing::internal::GetCapturedStdout();
    ::testing::internal::CaptureStdout();
    std::string s = captured;
    captured.clear();
    return s;
}

std::vector<std::string> AgentTest::logLines()
{
    std::string s = log();
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < s.size()) {
        size_t e = s.find("\r\n", pos);
        if (e == std::string::npos) {
            lines.push_back(s.substr(pos));
            break;
        }
        lines.push_back(s.substr(pos, e - pos));
        pos = e + 2;
    }
    return lines;
}

std::vector<uint8_t> makeRequest(uint8_t code, uint8_t byteArg, uint32_t v1, uint32_t v2, uint32_t v3,
                                 uint8_t chain)
{
    std::vector<uint8_t> f(kFramePayloadOff + kReqPayloadLen, 0);
    f[12] = 0x08;  // IPv4, as a station would send it; the agent does not look
    uint8_t *m = f.data() + kFramePayloadOff;
    memcpy(m, kTestMagic, sizeof(kTestMagic));
    m[kMsgOffCmd] = code;
    m[kMsgOffByte] = byteArg;
    putBe32(m + kMsgOffValue1, v1);
    putBe32(m + kMsgOffValue2, v2);
    putBe32(m + kMsgOffValue3, v3);
    m[kMsgOffChain] = chain;
    return f;
}

bool deliver(const std::vector<uint8_t> &frame, size_t caplen)
{
    if (caplen > frame.size())
        caplen = frame.size();
    // Exactly caplen bytes on the heap: a read past them is a sanitizer error.
    uint8_t *exact = new uint8_t[caplen ? caplen : 1];
    memcpy(exact, frame.data(), caplen);
    bool goOn = handleTestFrame(kAgentCommands, exact, caplen);
    delete[] exact;
    return goOn;
}

uint8_t replyCode(const std::vector<uint8_t> &frame)
{
    return frame.at(kFramePayloadOff + kMsgOffCmd);
}

uint32_t replyValue(const std::vector<uint8_t> &frame, size_t payloadOffset)
{
    return getBe32(frame.data() + kFramePayloadOff + payloadOffset);
}

bool processGone(pid_t pid)
{
    char path[64], state = '?';
    snprintf(path, sizeof(path), "/proc/%d/stat", (int)pid);
    FILE *f = fopen(path, "r");
    if (f == nullptr)
        return true;
    int n = fscanf(f, "%*d %*s %c", &state);
    fclose(f);
    return n == 1 && state == 'Z';
}

MemCapture::MemCapture(int linkType, int snaplen, const std::vector<std::vector<uint8_t>> &frames)
{
    auto put32 = [this](uint32_t v) { file.insert(file.end(), (uint8_t *)&v, (uint8_t *)&v + 4); };
    auto put16 = [this](uint16_t v) { file.insert(file.end(), (uint8_t *)&v, (uint8_t *)&v + 2); };
    put32(0xa1b2c3d4);  // native byte order: libpcap reads either
    put16(2);
    put16(4);
    put32(0);
    put32(0);
    put32((uint32_t)snaplen);
    put32((uint32_t)linkType);
    for (const auto &fr : frames) {
        put32(1);
        put32(0);
        put32((uint32_t)fr.size());
        put32((uint32_t)fr.size());
        file.insert(file.end(), fr.begin(), fr.end());
    }
    char errbuf[PCAP_ERRBUF_SIZE];
    fp = fmemopen(file.data(), file.size(), "rb");
    if (fp != nullptr)
        p = pcap_fopen_offline(fp, errbuf);
}

MemCapture::~MemCapture()
{
    if (p != nullptr)
        pcap_close(p);  // closes fp too
    else if (fp != nullptr)
        fclose(fp);
}

// GoogleTest's result printer writes its reports on standard output, where
// the agent's log is being captured.  A report caught there would be part of
// the log that the next comparison of a table-driven test reads: that
// comparison fails with the report quoted and escaped in its own, and so on
// for every further case, each report bigger than the last.  So the printer
// is wrapped: the capture is paused while it prints, a report is cut at
// kMaxReportBytes and only the first kMaxReports of a test are printed (the
// others are counted), so that a failing test ends at once with a report
// of bounded size.
namespace {
constexpr size_t kMaxReportBytes = 4096;
constexpr int kMaxReports = 10;

using ::testing::TestEventListener;
using ::testing::TestInfo;
using ::testing::TestPartResult;
using ::testing::TestSuite;
using ::testing::UnitTest;

class BoundedPrinter : public TestEventListener {
public:
    explicit BoundedPrinter(TestEventListener *inner) : inner_(inner) {}

    void OnTestStart(const TestInfo &t) override
    {
        reports_ = 0;
        inner_->OnTestStart(t);
    }
    void OnTestPartResult(const TestPartResult &r) override
    {
        if (r.type() == TestPartResult::kSuccess)
            return inner_->OnTestPartResult(r);
        if (++reports_ > kMaxReports)
            return;
        std::string msg = r.message();
        if (msg.size() > kMaxReportBytes)
            msg = msg.substr(0, kMaxReportBytes) + "\n[... " + std::to_string(msg.size() - kMaxReportBytes) +
                  " more bytes of this report not shown]";
        AgentTest::pauseCapture();
        inner_->OnTestPartResult(TestPartResult(r.type(), r.file_name(), r.line_number(), msg.c_str()));
        AgentTest::resumeCapture();
    }
    void OnTestEnd(const TestInfo &t) override
    {
        if (reports_ > kMaxReports)
            printf("[... %d more failure reports of this test not shown]\n", reports_ - kMaxReports);
        inner_->OnTestEnd(t);
    }

    // Everything else goes to the printer as it is.
    void OnTestProgramStart(const UnitTest &u) override { inner_->OnTestProgramStart(u); }
    void OnTestIterationStart(const UnitTest &u, int i) override { inner_->OnTestIterationStart(u, i); }
    void OnEnvironmentsSetUpStart(const UnitTest &u) override { inner_->OnEnvironmentsSetUpStart(u); }
    void OnEnvironmentsSetUpEnd(const UnitTest &u) override { inner_->OnEnvironmentsSetUpEnd(u); }
    void OnTestSuiteStart(const TestSuite &s) override { inner_->OnTestSuiteStart(s); }
    void OnTestCaseStart(const TestSuite &s) override { inner_->OnTestCaseStart(s); }
    void OnTestDisabled(const TestInfo &t) override { inner_->OnTestDisabled(t); }
    void OnTestSuiteEnd(const TestSuite &s) override { inner_->OnTestSuiteEnd(s); }
    void OnTestCaseEnd(const TestSuite &s) override { inner_->OnTestCaseEnd(s); }
    void OnEnvironmentsTearDownStart(const UnitTest &u) override { inner_->OnEnvironmentsTearDownStart(u); }
    void OnEnvironmentsTearDownEnd(const UnitTest &u) override { inner_->OnEnvironmentsTearDownEnd(u); }
    void OnTestIterationEnd(const UnitTest &u, int i) override { inner_->OnTestIterationEnd(u, i); }
    void OnTestProgramEnd(const UnitTest &u) override { inner_->OnTestProgramEnd(u); }

private:
    std::unique_ptr<TestEventListener> inner_;
    int reports_ = 0;
};

// The printer is chosen after the command line is read (--gtest_brief picks
// another), so it is wrapped when the tests are about to start.
class WrapResultPrinter : public ::testing::Environment {
    void SetUp() override
    {
        auto &listeners = UnitTest::GetInstance()->listeners();
        TestEventListener *printer = listeners.default_result_printer();
        if (printer == nullptr)  // none, or wrapped already (--gtest_repeat)
            return;
        listeners.Release(printer);
        listeners.Append(new BoundedPrinter(printer));
    }
};
::testing::Environment *const kWrapResultPrinter = ::testing::AddGlobalTestEnvironment(new WrapResultPrinter);
}  // namespace
