// Console log, field extraction and the two host-command conventions.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fake_host.h"
#include "util/field.h"
#include "util/hostcmd.h"
#include "util/log.h"

namespace {

class LogTest : public AgentTest {};
class FieldTest : public AgentTest {};
class HostCmdTest : public AgentTest {};

TEST_F(LogTest, TextIsPrintedLiterallyAndEndsInCrLf)
{
    rfLog("%s", "100% %d %s %n %%");
    EXPECT_EQ(log(), "100% %d %s %n %%\r\n");

    // A format that ends in a line end keeps it; CR LF follows.
    rfLog("success: device: %s\n", "eth0");
    EXPECT_EQ(log(), "success: device: eth0\n\r\n");
}

TEST_F(LogTest, LongMessagesAreCutToOneBoundedLine)
{
    struct {
        size_t msgLen;
        size_t lineLen;
    } cases[] = {{1020, 1022}, {1021, 1023}, {1022, 1023}, {5000, 1023}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.msgLen);
        std::string msg;
        for (size_t i = 0; i < c.msgLen; i++)
            msg += (char)('a' + i % 26);
        rfLog("%s", msg.c_str());
        std::string line = log();
        ASSERT_EQ(line.size(), c.lineLen);
        EXPECT_EQ(line.substr(0, c.lineLen - 2), msg.substr(0, c.lineLen - 2));
        EXPECT_EQ(line.substr(c.lineLen - 2), "\r\n");
    }
}

TEST_F(FieldTest, ExtractionTable)
{
    const int32_t kUntouched = 0x5A5A;
    struct Case {
        const char *text;
        const char *name;
        const char *delim;
        int format;
        int ret;
        int32_t value;
        const char *log;
    } cases[] = {
        // The name may stand inside a longer word.
        {"xpa2gw0a0=0x1f", "pa2gw0a0", "=", 1, 0, 31, "get field value pa2gw0a0 = 0x1f.\r\n"},
        // An occurrence with the wrong delimiter is passed over.
        {"pa2gw0a0:0x05 pa2gw0a0=0x10", "pa2gw0a0", "=", 1, 0, 16, "get field value pa2gw0a0 = 0x10.\r\n"},
        {"pa2gw0a0:0x05 pa2gw0a0 0x10 pa2gw0a0", "pa2gw0a0", "=", 1, -1, kUntouched,
         "GetValueFromField pStartPos error\r\n"},
        {"pa2gw1a0=0x10", "pa2gw0a0", "=", 1, -1, kUntouched, "GetValueFromField pStartPos error\r\n"},
        // Hex digits are a 32-bit pattern, not a signed 16-bit number.
        {"pa2gw0a0=0xfe8c", "pa2gw0a0", "=", 1, 0, 65164, "get field value pa2gw0a0 = 0xfe8c.\r\n"},
        {"pa2gw0a0=0xffffffff", "pa2gw0a0", "=", 1, 0, -1, "get field value pa2gw0a0 = 0xffffffff.\r\n"},
        // The two prefix characters are skipped unread, whatever they are.
        {"pa2gw0a0=1f2a", "pa2gw0a0", "=", 1, 0, 0x2a, "get field value pa2gw0a0 = 0x2a.\r\n"},
        {"pa2gw0a0=1f", "pa2gw0a0", "=", 1, 0, kUntouched, "get field value pa2gw0a0 = 0x5a5a.\r\n"},
        // Text ending right after the delimiter, or one character later.
        {"pa2gw0a0=", "pa2gw0a0", "=", 1, 0, kUntouched, "get field value pa2gw0a0 = 0x5a5a.\r\n"},
        {"pa2gw0a0=0", "pa2gw0a0", "=", 1, 0, kUntouched, "get field value pa2gw0a0 = 0x5a5a.\r\n"},
        // Decimal counters, white space skipped, 32-bit wrap kept.
        {"rxdfrmmcast 1234", "rxdfrmmcast", " ", 0, 0, 1234, "get field value rxdfrmmcast = 1234.\r\n"},
        {"txfrm 9\nrxdfrmmcast   -5 rxf 3", "rxdfrmmcast", " ", 0, 0, -5, "get field value rxdfrmmcast = -5.\r\n"},
        {"rxdfrmmcast 4294967295", "rxdfrmmcast", " ", 0, 0, -1, "get field value rxdfrmmcast = -1.\r\n"},
        {"rxdfrmmcast x", "rxdfrmmcast", " ", 0, 0, kUntouched, "get field value rxdfrmmcast = 23130.\r\n"},
        {"rxdfrmmcast ", "rxdfrmmcast", " ", 0, 0, kUntouched, "get field value rxdfrmmcast = 23130.\r\n"},
        // Unknown format: found, nothing converted, nothing logged.
        {"pa2gw0a0=0x1f", "pa2gw0a0", "=", 2, 0, kUntouched, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.text) + " / format " + std::to_string(c.format));
        // Digits lie in wait behind the text's NUL, so that a read past the
        // end shows in the value.
        size_t n = strlen(c.text) + 1;
        std::unique_ptr<char[]> text(new char[n + 3]);
        memcpy(text.get(), c.text, n);
        memcpy(text.get() + n, "99", 3);
        int32_t value = kUntouched;
        EXPECT_EQ(GetValueFromField(text.get(), c.name, &value, c.delim, c.format), c.ret);
        EXPECT_EQ(value, c.value);
        EXPECT_EQ(log(), c.log);
    }
}

TEST_F(HostCmdTest, RunLogsOnlyWhenAskedAndFailsOnlyWhenTheShellFails)
{
    EXPECT_EQ(hostRun("wl band b", true, "set band fail"), 0);
    EXPECT_EQ(hostRun("wl up", false, "set ap up or down fail"), 0);
    EXPECT_EQ(log(), "wl band b\r\n");

    host.shellFailPrefixes = {"wl"};
    EXPECT_EQ(hostRun("wl band b", true, "set band fail"), -1);
    EXPECT_EQ(hostRunf(false, "set txchain fail", "wl txchain %d", 2), -1);
    EXPECT_EQ(hostRun("wl up", false, nullptr), -1);
    EXPECT_EQ(logLines(), (std::vector<std::string>{"wl band b", "set band fail", "set txchain fail"}));
    EXPECT_EQ(host.runs, (std::vector<std::string>{"wl band b", "wl up", "wl band b", "wl txchain 2", "wl up"}));
}

TEST_F(HostCmdTest, CommandThatRunsAndFailsCountsAsDone)
{
    // system() reports "exited with status 1" as 256: not a failure.
    gHostOps.runShell = [](const char *) { return 256; };
    EXPECT_EQ(hostRun("wl up", false, "set ap up or down fail"), 0);
    EXPECT_EQ(hostRunf(true, "set mimo txbw fail", "wl mimo_txbw %d", 4), 0);
    EXPECT_EQ(log(), "wl mimo_txbw 4\r\n");

    // And through the real shell.
    gHostOps.runShell = kRealHostOps.runShell;
    EXPECT_EQ(hostRun("exit 1", false, "exit fail"), 0);
    EXPECT_EQ(log(), "");
}

TEST_F(HostCmdTest, CommandBufferHoldsAt127Characters)
{
    std::string fits(kCmdBufSize - 1, 'a');
    std::string tooLong(kCmdBufSize, 'b');
    EXPECT_EQ(hostRun(fits.c_str(), false, "f"), 0);
    EXPECT_EQ(hostRunf(false, "f", "%s", fits.c_str()), 0);
    EXPECT_EQ(hostRun(tooLong.c_str(), false, "f"), -1);
    EXPECT_EQ(hostRunf(false, "f", "%s", tooLong.c_str()), -1);
    EXPECT_EQ(host.runs, (std::vector<std::string>{fits, fits}));
}

TEST_F(HostCmdTest, ReadOutcomes)
{
    std::vector<char> buf(kOutBufSize);

    host.pipeFails["wl isup"] = true;
    EXPECT_EQ(hostRead("wl isup", buf.data(), buf.size(), "_exec_isWlanUp create FILE fail"), -1);
    EXPECT_EQ(logLines(), (std::vector<std::string>{"wl isup", "_exec_isWlanUp create FILE fail"}));

    host.pipeFails["wl isup"] = false;
    host.outputs["wl isup"] = {"", "1"};
    EXPECT_EQ(hostRead("wl isup", buf.data(), buf.size(), "x"), 0);
    EXPECT_EQ(logLines(), (std::vector<std::string>{"wl isup", "fread fail."}));

    // Output shorter than the command text: the text ends with the output.
    EXPECT_EQ(hostRead("wl isup", buf.data(), buf.size(), "x"), 1);
    EXPECT_STREQ(buf.data(), "1");
    EXPECT_EQ(log(), "wl isup\r\n");
}

TEST_F(HostCmdTest, ReadTakesAtMostNMinus1Bytes)
{
    // A field that starts inside the first N-1 bytes is found; one placed
    // at byte N-1 or later is never seen.
    std::string head(kOutBufSize - 1 - 13, ' ');
    host.outputs["wl pavars"] = {head + "pa2gw0a0=0x1f" + std::string(500, ' '),
                                 std::string(kOutBufSize - 1, ' ') + "pa2gw0a0=0x1f"};
    std::vector<char> buf(kOutBufSize);
    int32_t v = 0;

    EXPECT_EQ(hostRead("wl pavars", buf.data(), buf.size(), "x"), (long)kOutBufSize - 1);
    EXPECT_EQ(GetValueFromField(buf.data(), "pa2gw0a0", &v, "=", kFieldHex), 0);
    EXPECT_EQ(v, 0x1f);

    v = 0;
    EXPECT_EQ(hostRead("wl pavars", buf.data(), buf.size(), "x"), (long)kOutBufSize - 1);
    EXPECT_EQ(GetValueFromField(buf.data(), "pa2gw0a0", &v, "=", kFieldHex), -1);
    EXPECT_EQ(v, 0);
}

TEST_F(HostCmdTest, RealPipeReadsTheOutput)
{
    gHostOps.readPipe = kRealHostOps.readPipe;
    std::vector<char> buf(kOutBufSize);
    EXPECT_EQ(hostRead("printf 'rxdfrmmcast 42'", buf.data(), buf.size(), "x"), 14);
    EXPECT_STREQ(buf.data(), "rxdfrmmcast 42");
    EXPECT_EQ(hostRead("true", buf.data(), buf.size(), "x"), 0);
    EXPECT_EQ(logLines(), (std::vector<std::string>{"printf 'rxdfrmmcast 42'", "true", "fread fail."}));
}

}  // namespace
