// Transmit and receive test handlers and the applied-settings cache.
#include "fake_host.h"
#include "proto/testmsg.h"
#include "radio/testproc.h"

using Lines = std::vector<std::string>;

class TestProcTest : public AgentTest {
protected:
    void SetUp() override
    {
        AgentTest::SetUp();
        gTestItem = TestItem{};
        gRxStartCount = 0;
        resetLastTestItem();
    }
    // Runs a request through the dispatcher and returns what it sent to the
    // host, commands and reads alike, then clears the record.
    Lines handle(const std::vector<uint8_t> &req)
    {
        host.events.clear();
        deliver(req);
        Lines ev;
        for (const auto &e : host.events)
            if (e != "frame")
                ev.push_back(e);
        return ev;
    }
    void channelAntenna(uint8_t channel, uint8_t antenna)
    {
        deliver(makeRequest(CMD_SET_CHANNEL, channel));
        deliver(makeRequest(CMD_SET_ANTENNA, antenna));
    }
    static std::vector<uint8_t> setTx(uint8_t rate, uint32_t bw, uint32_t tenths)
    {
        return makeRequest(CMD_SET_TX, rate, bw, tenths);
    }
    static std::vector<uint8_t> startRx(uint8_t rate, uint32_t bw) { return makeRequest(CMD_START_RX, rate, bw); }
    void counters(const std::string &text) { host.outputs["wl counters"].push_back(text); }
};

TEST_F(TestProcTest, SetChannelAndAntennaOnlyRecord)
{
    EXPECT_TRUE(handle(makeRequest(CMD_SET_CHANNEL, 11)).empty());
    EXPECT_TRUE(handle(makeRequest(CMD_SET_ANTENNA, 1)).empty());
    EXPECT_EQ(gTestItem.channel, 11);
    EXPECT_EQ(gTestItem.antenna, 1);
    ASSERT_EQ(host.frames.size(), 2u);
    EXPECT_EQ(replyCode(host.frames[0]), CMD_SET_CHANNEL);
    EXPECT_EQ(replyCode(host.frames[1]), CMD_SET_ANTENNA);
}

TEST_F(TestProcTest, SetTxSendsOnlyChangedSettings)
{
    channelAntenna(6, 0);
    // First set-TX after start: the cache holds rate 0, so no rate command.
    EXPECT_EQ(handle(setTx(0, 20, 175)),
              (Lines{"run: wl down", "run: wl mimo_txbw 2", "run: wl txchain 1", "run: wl txant 0",
                     "run: wl chanspec -c 6 -b 2 -w 20 -s 0", "run: wl up", "run: wl txpwr1 -o -q 70"}));
    // The same again: only down, chains, up and power.
    EXPECT_EQ(handle(setTx(0, 20, 175)), (Lines{"run: wl down", "run: wl txchain 1", "run: wl txant 0",
                                                "run: wl up", "run: wl txpwr1 -o -q 70"}));
    // 20 -> 40 on channel 6: bandwidth and chanspec with sideband -1.
    EXPECT_EQ(handle(setTx(0, 40, 175)),
              (Lines{"run: wl down", "run: wl mimo_txbw 4", "run: wl txchain 1", "run: wl txant 0",
                     "run: wl chanspec -c 6 -b 2 -w 40 -s -1", "run: wl up", "run: wl txpwr1 -o -q 70"}));
    // 40 -> 80: not 40 for the flag and the mimo value, the width as received.
    EXPECT_EQ(handle(setTx(0, 80, 175)),
              (Lines{"run: wl down", "run: wl mimo_txbw 2", "run: wl txchain 1", "run: wl txant 0",
                     "run: wl chanspec -c 6 -b 2 -w 80 -s 0", "run: wl up", "run: wl txpwr1 -o -q 70"}));
    // 80 -> 20 on the same channel: both not 40, no chanspec; a new rate.
    EXPECT_EQ(handle(setTx(23, 20, 160)), (Lines{"run: wl down", "run: wl txchain 1", "run: wl txant 0",
                                                 "run: wl nrate -m 7 -s 3", "run: wl up",
                                                 "run: wl txpwr1 -o -q 64"}));
    // Another channel alone, at the same bandwidth: the chanspec goes out.
    deliver(makeRequest(CMD_SET_CHANNEL, 11));
    EXPECT_EQ(handle(setTx(23, 20, 160)), (Lines{"run: wl down", "run: wl txchain 1", "run: wl txant 0",
                                                 "run: wl chanspec -c 11 -b 2 -w 20 -s 0", "run: wl up",
                                                 "run: wl txpwr1 -o -q 64"}));
    EXPECT_EQ(gLastTestItem.channel, 11);
    EXPECT_EQ(gLastTestItem.is40MHz, 0);
    EXPECT_EQ(gLastTestItem.rateIndex, 23);
    for (const auto &f : host.frames)
        EXPECT_EQ(replyValue(f, kMsgOffValue1), 0u);
}

TEST_F(TestProcTest, CacheFollowsEvenWhenTheCommandFails)
{
    channelAntenna(36, 0);
    host.shellFailPrefixes = {"wl chanspec", "wl nrate"};
    handle(setTx(5, 40, 100));
    host.shellFailPrefixes.clear();
    // The failed commands are not repeated: the cache took them as applied.
    EXPECT_EQ(handle(setTx(5, 40, 100)), (Lines{"run: wl down", "run: wl txchain 1", "run: wl txant 0",
                                                "run: wl up", "run: wl txpwr1 -o -q 40"}));
    EXPECT_EQ(host.frames.size(), 4u);  // every set-TX replied
}

TEST_F(TestProcTest, StartRxAfterMatchingSetTxOnlySetsChainAndReads)
{
    channelAntenna(11, 1);
    handle(setTx(15, 40, 100));
    counters("rxdfrmmcast 1000 rxmfrmmcast 3\n");
    EXPECT_EQ(handle(startRx(15, 40)), (Lines{"run: wl rxchain 2", "read: wl counters"}));
    EXPECT_EQ(gRxStartCount, 1000);
    EXPECT_EQ(replyCode(host.frames.back()), CMD_START_RX);
}

TEST_F(TestProcTest, FirstStartRxAfterStart)
{
    channelAntenna(1, 0);
    counters("rxdfrmmcast 7\n");
    EXPECT_EQ(handle(startRx(3, 40)),
              (Lines{"run: wl mimo_txbw 4", "run: wl rxchain 1", "run: wl chanspec -c 1 -b 2 -w 40 -s -1",
                     "run: wl nrate -r 5", "read: wl counters"}));
    EXPECT_EQ(gRxStartCount, 7);
    // Another channel alone: only the chain, the chanspec and the read.
    deliver(makeRequest(CMD_SET_CHANNEL, 2));
    counters("rxdfrmmcast 9\n");
    EXPECT_EQ(handle(startRx(3, 40)),
              (Lines{"run: wl rxchain 1", "run: wl chanspec -c 2 -b 2 -w 40 -s -1", "read: wl counters"}));
    EXPECT_EQ(gLastTestItem.channel, 2);
}

TEST_F(TestProcTest, StopRxCountsFromOneBaselineAndWraps)
{
    counters("rxdfrmmcast 1000\n");
    counters("rxdfrmmcast 1500\n");
    counters("rxdfrmmcast 1600\n");
    deliver(startRx(0, 20));
    deliver(makeRequest(CMD_STOP_RX));
    deliver(makeRequest(CMD_STOP_RX));
    ASSERT_EQ(host.frames.size(), 3u);
    EXPECT_EQ(replyValue(host.frames[1], kMsgOffValue1), 500u);
    EXPECT_EQ(replyValue(host.frames[2], kMsgOffValue1), 600u);

    // A counter below the baseline: the 32-bit wrapped difference.
    counters("rxdfrmmcast 10\n");
    counters("rxdfrmmcast 5\n");
    deliver(startRx(0, 20));
    deliver(makeRequest(CMD_STOP_RX));
    const auto &f = host.frames.back();
    EXPECT_EQ(replyCode(f), CMD_STOP_RX);
    const uint8_t *v = f.data() + kFramePayloadOff + kMsgOffValue1;
    EXPECT_EQ(std::vector<uint8_t>(v, v + 4), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFB}));
}

TEST_F(TestProcTest, StopRxBeforeAnyStartMeasuresFromZero)
{
    counters("rxdfrmmcast 42\n");
    deliver(makeRequest(CMD_STOP_RX));
    ASSERT_EQ(host.frames.size(), 1u);
    EXPECT_EQ(replyValue(host.frames[0], kMsgOffValue1), 42u);
}

TEST_F(TestProcTest, UnreadableCounterSendsNoReplyAndKeepsBaseline)
{
    counters("rxdfrmmcast 300\n");
    deliver(startRx(0, 20));
    ASSERT_EQ(host.frames.size(), 1u);
    log();

    counters("txfrag 1\nrxdfrmucast 5\n");  // no "rxdfrmmcast" entry
    deliver(startRx(0, 20));
    EXPECT_EQ(host.frames.size(), 1u);
    EXPECT_EQ(gRxStartCount, 300);
    Lines lines = logLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "GetValueFromField pStartPos error");
    EXPECT_EQ(lines.back(), "gen_startRx get counters num fail");

    host.pipeFails["wl counters"] = true;
    deliver(makeRequest(CMD_STOP_RX));
    EXPECT_EQ(host.frames.size(), 1u);
    lines = logLines();
    EXPECT_EQ(lines.back(), "gen_stopRx GETrX end num fail");
    EXPECT_EQ(lines[lines.size() - 2], "_exec_getRxCountersNum FILE ceate file");
}

TEST_F(TestProcTest, EnterTestModeRepliesOneWhateverItsCommandsGave)
{
    host.shellFailPrefixes = {"wl", "killall"};
    EXPECT_EQ(handle(makeRequest(CMD_ENTER_TEST_MODE)),
              (Lines{"run: killall -9 acsd 2>/dev/null", "run: wl down", "run: wl band b", "run: wl up",
                     "run: wl ssid \"\"", "run: wl phy_forcecal 1"}));
    ASSERT_EQ(host.frames.size(), 1u);
    EXPECT_EQ(replyCode(host.frames[0]), CMD_ENTER_TEST_MODE);
    EXPECT_EQ(replyValue(host.frames[0], kMsgOffValue1), 1u);
    // The cache is left alone.
    EXPECT_EQ(gLastTestItem.is40MHz, 3);
}

TEST_F(TestProcTest, StartAndStopTxFrames)
{
    EXPECT_EQ(handle(makeRequest(CMD_START_TX_FRAMES)), Lines{"run: wl pkteng_start 00:11:22:33:44:55 tx 50 1000 0"});
    EXPECT_EQ(handle(makeRequest(CMD_STOP_TX)), Lines{"run: wl pkteng_stop tx"});
    ASSERT_EQ(host.frames.size(), 2u);
    EXPECT_EQ(replyCode(host.frames[1]), CMD_STOP_TX);
}
