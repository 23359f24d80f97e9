// Reply frames, the IPv4 checksum and the request dispatcher.
#include <cstring>
#include <string>
#include <vector>

#include "fake_host.h"
#include "proto/dispatch.h"
#include "proto/reply.h"
#include "proto/testmsg.h"
#include "radio/testproc.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The short reply to set-channel, byte for byte.
const Bytes kSetChannelReply = {
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0x3a, 0x91, 0x5c, 0x7e, 0x48, 0x08, 0x00, 0x45, 0x00,
    0x00, 0x34, 0x00, 0x00, 0x00, 0x00, 0x40, 0x11, 0xb9, 0x10, 0xc0, 0xa8, 0x01, 0x01, 0xff, 0xff,
    0xff, 0xff, 0x04, 0x24, 0x04, 0x26, 0x00, 0x20, 0x00, 0x00, 0x7f, 0x52, 0x46, 0x50, 0x52, 0x4f,
    0x42, 0x45, 0x00, 0x00, 0x82, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00,
};

// The reference reply with another code and payload bytes from offset 11 on.
Bytes expectedReply(uint8_t code, const Bytes &fromByteArg = {})
{
    Bytes f = kSetChannelReply;
    f[kFramePayloadOff + kMsgOffCmd] = code;
    std::copy(fromByteArg.begin(), fromByteArg.end(), f.begin() + kFramePayloadOff + kMsgOffByte);
    return f;
}

class ReplyTest : public AgentTest {};
class DispatchTest : public AgentTest {
protected:
    void SetUp() override
    {
        AgentTest::SetUp();
        resetLastTestItem();
        gTestItem = TestItem{};
    }
    void expectNothingHappened()
    {
        EXPECT_EQ(log(), "");
        EXPECT_TRUE(host.events.empty());
        EXPECT_TRUE(host.frames.empty());
    }
};

TEST_F(ReplyTest, ShortRepliesMatchTheReference)
{
    ASSERT_EQ(sendTestReply(CMD_SET_CHANNEL, 0, 0, 0), 0);
    ASSERT_EQ(sendTestReply(CMD_ENTER_TEST_MODE, 0, 1, 0), 0);
    // Only the low 8 bits of the code; every field in its place.
    ASSERT_EQ(sendTestReply(0x198, 0xAB, 0xFFFFFFFAu, 0x1234), 0);
    ASSERT_EQ(host.frames.size(), 3u);
    EXPECT_EQ(host.frames[0], kSetChannelReply);
    EXPECT_EQ(host.frames[1], expectedReply(0x80, {0x00, 0x00, 0x00, 0x00, 0x01}));
    EXPECT_EQ(host.frames[2], expectedReply(0x98, {0xAB, 0xFF, 0xFF, 0xFF, 0xFA, 0x12, 0x34}));
    EXPECT_EQ(log(), "");
}

TEST_F(ReplyTest, ParamReplyCarriesThreeWordPatterns)
{
    ASSERT_EQ(sendTestParamReply(CMD_READ_PA_PARAMS, (uint32_t)-1, 0x01020304u, 0x80000000u), 0);
    ASSERT_EQ(host.frames.size(), 1u);
    EXPECT_EQ(host.frames[0], expectedReply(0x92, {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x02, 0x03, 0x04, 0x80, 0x00,
                                                   0x00, 0x00}));
}

TEST_F(ReplyTest, FailedSendReturnsMinusOneSilently)
{
    host.sendResult = -1;
    EXPECT_EQ(sendTestReply(CMD_EXIT_TEST, 0, 0, 0), -1);
    EXPECT_EQ(sendTestParamReply(CMD_READ_PA_PARAMS, 1, 2, 3), -1);
    EXPECT_EQ(host.frames.size(), 2u);
    EXPECT_EQ(log(), "");
}

TEST(ChecksumTest, ReplyHeaderAndCarries)
{
    Bytes header(kSetChannelReply.begin() + 14, kSetChannelReply.begin() + 34);
    // The complete header sums to zero.
    EXPECT_EQ(ipChecksum(header.data(), 20), 0);
    header[10] = header[11] = 0;
    EXPECT_EQ(ipChecksum(header.data(), 20), 0xB910);

    // RFC 1071's example, and words whose sum carries twice when folded.
    Bytes rfc = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(ipChecksum(rfc.data(), 8), 0x220D);
    Bytes big = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00, 0x02};
    EXPECT_EQ(ipChecksum(big.data(), 8), 0xFFFD);
}

TEST_F(DispatchTest, WrongMagicIsDroppedSilently)
{
    for (size_t off : {0u, 3u, 4u, 7u}) {
        SCOPED_TRACE(off);
        Bytes f = makeRequest(CMD_EXIT_TEST);
        f[kFramePayloadOff + off] ^= 0x20;
        deliver(f);
    }
    expectNothingHappened();
}

TEST_F(DispatchTest, CodesWithoutCommandOnlyLogTheCode)
{
    struct {
        uint8_t code;
        const char *line;
    } cases[] = {{0x7F, "--cmdType = 7f\r\n"}, {0x84, "--cmdType = 84\r\n"}, {0x94, "--cmdType = 94\r\n"},
                 {0x9D, "--cmdType = 9d\r\n"}, {0xFF, "--cmdType = ff\r\n"}, {0x00, "--cmdType = 0\r\n"}};
    for (const auto &c : cases) {
        deliver(makeRequest(c.code, 1, 2, 3, 4, 5));
        EXPECT_EQ(log(), c.line);
    }
    EXPECT_TRUE(host.events.empty());
    EXPECT_TRUE(host.frames.empty());
}

TEST_F(DispatchTest, ExitTestRepliesAndServingGoesOn)
{
    deliver(makeRequest(CMD_EXIT_TEST, 9, 9, 9, 9, 9));
    deliver(makeRequest(CMD_SET_CHANNEL, 200));
    EXPECT_EQ(logLines(), (std::vector<std::string>{"--cmdType = 81", "EXIT TEST.", "--cmdType = 82"}));
    ASSERT_EQ(host.frames.size(), 2u);
    EXPECT_EQ(host.frames[0], expectedReply(0x81));
    EXPECT_EQ(host.frames[1], kSetChannelReply);
    EXPECT_EQ(gTestItem.channel, 200);
}

TEST_F(DispatchTest, SetTxPowerIsTenthsOfAnUnsignedWord)
{
    struct {
        uint32_t value2;
        const char *cmd;
    } cases[] = {
        {175, "wl txpwr1 -o -q 70"},
        {0, "wl txpwr1 -o -q 0"},
        {5, "wl txpwr1 -o -q 2"},
        {164, "wl txpwr1 -o -q 65"},  // 65.6 quarters: cut, not rounded
        {2, "wl txpwr1 -o -q 0"},
        {0xFFFFFFFFu, "wl txpwr1 -o -q 1717986944"},  // not -0.1
    };
    for (const auto &c : cases) {
        host.runs.clear();
        deliver(makeRequest(CMD_SET_TX, 0, 20, c.value2));
        auto runs = host.runsStartingWith("wl txpwr1");
        ASSERT_EQ(runs.size(), 1u) << c.value2;
        EXPECT_EQ(runs[0], c.cmd);
    }
    EXPECT_EQ(host.frames.size(), 6u);
}

TEST_F(DispatchTest, PaWriteTakesSignedLow16BitsAndChainByte)
{
    deliver(makeRequest(CMD_WRITE_PA_PARAMS, 0, 0x0001FE0Cu, 0x00011234u, 0xFFFF8000u, 0));
    std::string out = log();
    EXPECT_NE(out.find("setPaParams: chain = 0, pa1 = fffffe0c, pa2 = 1234, pa3 = ffff8000\r\n"), std::string::npos)
        << out;
    EXPECT_EQ(host.countRuns("wl pavars pa2gw0a0=0xfffffe0c pa2gw1a0=0x1234 pa2gw2a0=0xffff8000"), 1u);

    host.defaultOutput["wl pavars"] = "pa2gw0a0=0x1 pa2gw0a1=0x11 pa2gw1a1=0x22 pa2gw2a1=0x33";
    host.frames.clear();
    deliver(makeRequest(CMD_READ_PA_PARAMS, 0, 0, 0, 0, 1));
    ASSERT_EQ(host.frames.size(), 1u);
    EXPECT_EQ(host.frames[0], expectedReply(0x92, {0, 0, 0, 0, 0x11, 0, 0, 0, 0x22, 0, 0, 0, 0x33}));
}

TEST_F(DispatchTest, FrameShorterThanItsCommandReadsIsDropped)
{
    host.defaultOutput["wl counters"] = "rxdfrmmcast 5";
    struct {
        uint8_t code;
        size_t need;
    } cases[] = {{CMD_EXIT_TEST, 53},     {CMD_SET_CHANNEL, 54},     {CMD_SET_TX, 62},
                 {CMD_START_RX, 58},      {CMD_READ_PA_PARAMS, 67},  {CMD_WRITE_PA_PARAMS, 67}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code);
        Bytes f = makeRequest(c.code, 3, 20, 100, 0, 0);
        for (size_t len : {(size_t)0, (size_t)42, (size_t)52, c.need - 1})
            deliver(f, len);
        expectNothingHappened();

        deliver(f, c.need);
        char line[32];
        snprintf(line, sizeof(line), "--cmdType = %x\r\n", c.code);
        EXPECT_EQ(log().rfind(line, 0), 0u);
        ASSERT_EQ(host.frames.size(), 1u);
        EXPECT_EQ(replyCode(host.frames[0]), c.code);
        host.frames.clear();
        host.events.clear();
    }
}

// A NIC pads a short frame to 60 bytes: the request ends where the UDP
// length says, and padding past it is never read as a field.  A UDP length
// that cannot be right (shorter than its header, longer than the capture) or
// a frame that is not UDP leaves the captured end.
TEST_F(DispatchTest, EthernetPaddingIsNotReadAsFields)
{
    host.defaultOutput["wl counters"] = "rxdfrmmcast 5";
    struct {
        const char *what;
        uint8_t code;
        uint8_t proto;
        uint16_t udpLen;
        bool served;
    } cases[] = {
        {"start-RX cut at 15 payload bytes, padded to 60", CMD_START_RX, 17, 8 + 15, false},
        {"set-TX cut in its power word, padded", CMD_SET_TX, 17, 8 + 19, false},
        {"set-channel ending at its byte, padded", CMD_SET_CHANNEL, 17, 8 + 12, true},
        {"UDP length shorter than its header", CMD_START_RX, 17, 4, true},
        {"UDP length beyond the capture", CMD_START_RX, 17, 200, true},
        {"not UDP: no length to read", CMD_START_RX, 6, 8 + 15, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes f = makeRequest(c.code, 3, 20, 100);
        f.resize(60);  // the padded frame: only the first 42 + 18 bytes came
        f[kFrameIpProtoOff] = c.proto;
        putBe16(f.data() + kFrameUdpLenOff, c.udpLen);
        for (size_t i = kFrameUdpOff + c.udpLen; c.proto == 17 && c.udpLen >= 8 && i < f.size(); i++)
            f[i] = 0;  // the NIC's zeros
        deliver(f);
        if (!c.served) {
            expectNothingHappened();
            continue;
        }
        ASSERT_EQ(host.frames.size(), 1u);
        EXPECT_EQ(replyCode(host.frames[0]), c.code);
        if (c.code == CMD_START_RX) {  // its own bandwidth word: 20
            auto chanspec = host.runsStartingWith("wl chanspec");
            ASSERT_EQ(chanspec.size(), 1u);
            EXPECT_NE(chanspec[0].find(" -w 20 "), std::string::npos) << chanspec[0];
        }
        host.frames.clear();
        host.events.clear();
        host.runs.clear();
        resetLastTestItem();
        log();
    }
}

// The dispatcher knows no command of its own: with a table of other entries
// it replies in each row's form with the values the entry set, runs what
// waits for the reply after it, and reports when a command ends serving.
FakeHost *sTableHost;
void noteAfterReply()
{
    std::lock_guard<std::mutex> lock(sTableHost->mu);
    sTableHost->events.push_back("after reply");
}
void runParams(const TestMsg &req, CmdAnswer *a)
{
    a->reply = true;
    a->msg.value1 = req.value1;
    a->msg.value2 = 2;
    a->msg.value3 = 3;
    a->afterReply = noteAfterReply;
}
void runSilent(const TestMsg &, CmdAnswer *a)
{
    a->msg.value1 = 9;
    a->afterReply = noteAfterReply;  // no reply: nothing follows it
    a->endServing = true;
}
void runLast(const TestMsg &req, CmdAnswer *a)
{
    a->reply = true;
    a->msg.byteArg = req.chain;
    a->msg.value2 = 0xBEEF0001;  // a short reply carries the upper half only
    a->msg.value3 = 4;
    a->endServing = true;
}

TEST_F(DispatchTest, EntriesSayWhatToAnswerAndTheRowHowToSendIt)
{
    sTableHost = &host;
    CmdTable table{};
    table[0x90 - kCmdFirst] = CmdEntry{kNeedValue1, kReplyParams, runParams};
    table[0x91 - kCmdFirst] = CmdEntry{kNeedCmd, kReplyShort, runSilent};
    table[0x92 - kCmdFirst] = CmdEntry{kNeedChain, kReplyShort, runLast};
    auto handle = [&](const Bytes &f) { return handleTestFrame(table, f.data(), f.size()); };

    EXPECT_TRUE(handle(makeRequest(0x90, 0, 0x11223344u)));
    EXPECT_EQ(host.events, (std::vector<std::string>{"frame", "after reply"}));
    EXPECT_TRUE(handle(makeRequest(0x91)));
    EXPECT_FALSE(handle(makeRequest(0x92, 0, 0, 0, 0, 7)));
    EXPECT_TRUE(handle(makeRequest(CMD_EXIT_TEST)));  // not in this table
    EXPECT_EQ(host.events, (std::vector<std::string>{"frame", "after reply", "frame"}));
    ASSERT_EQ(host.frames.size(), 2u);
    EXPECT_EQ(host.frames[0], expectedReply(0x90, {0, 0x11, 0x22, 0x33, 0x44, 0, 0, 0, 2, 0, 0, 0, 3}));
    EXPECT_EQ(host.frames[1], expectedReply(0x92, {7, 0, 0, 0, 0, 0xBE, 0xEF}));
    EXPECT_EQ(logLines(), (std::vector<std::string>{"--cmdType = 90", "--cmdType = 91", "--cmdType = 92",
                                                    "--cmdType = 81"}));
}

TEST_F(DispatchTest, SameRequestTwiceIsCarriedOutTwice)
{
    Bytes f = makeRequest(CMD_START_TX_FRAMES);
    deliver(f);
    deliver(f);
    EXPECT_EQ(host.countRuns("wl pkteng_start 00:11:22:33:44:55 tx 50 1000 0"), 2u);
    ASSERT_EQ(host.frames.size(), 2u);
    EXPECT_EQ(host.frames[0], expectedReply(0x87));
    EXPECT_EQ(host.frames[1], expectedReply(0x87));
}

}  // namespace
