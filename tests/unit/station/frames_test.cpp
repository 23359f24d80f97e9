// Request bytes, reply decoding and reply output of the station tool.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "station_test_util.h"

using namespace station;

namespace {

using Bytes = std::vector<uint8_t>;

// The request layout written out by hand: magic, two zero bytes, code, byte
// argument, three big-endian words, chain.
Bytes request(uint8_t code, uint8_t byteArg, uint32_t v1, uint32_t v2, uint32_t v3,
              uint8_t chain) {
    Bytes b = {0x7F, 'R', 'F', 'P', 'R', 'O', 'B', 'E', 0, 0, code, byteArg};
    for (uint32_t v : {v1, v2, v3})
        for (int s = 24; s >= 0; s -= 8) b.push_back((uint8_t)(v >> s));
    b.push_back(chain);
    return b;
}

TEST(CommandTable, WordsAndCodesAreTheStationsCommands) {
    // The words engineers type; the table comes from the shared header.
    const std::pair<const char *, uint8_t> expected[] = {
        {"enter-test-mode", 0x80}, {"exit-test", 0x81},    {"set-channel", 0x82},
        {"set-antenna", 0x83},     {"start-tx", 0x87},     {"pa-init", 0x91},
        {"pa-read", 0x92},         {"pa-write", 0x93},     {"set-tx", 0x95},
        {"stop-tx", 0x96},         {"start-rx", 0x97},     {"stop-rx", 0x98},
        {"start-cyc-tx", 0x99},    {"stop-cyc-tx", 0x9A},  {"finish", 0x9B},
        {"pa-save", 0x9C},
    };
    EXPECT_EQ(wireCommands().size(), sizeof expected / sizeof expected[0]);
    for (auto &e : expected) {
        const Command *c = findCommand(e.first);
        ASSERT_NE(c, nullptr) << e.first;
        EXPECT_EQ(c->code, e.second) << e.first;
        EXPECT_STREQ(commandWord(e.second), e.first);
    }
    for (uint8_t none : {0x00, 0x7F, 0x84, 0x86, 0x88, 0x90, 0x94, 0x9D, 0xFF})
        EXPECT_EQ(commandWord(none), nullptr) << (int)none;
    EXPECT_EQ(findCommand("set-chan"), nullptr);
}

TEST(CommandTable, OnlyHarmlessRequestsMayBeRepeated) {
    std::set<uint8_t> safe;
    for (int c = 0; c < 256; ++c)
        if (commandForCode((uint8_t)c) && commandForCode((uint8_t)c)->retrySafe())
            safe.insert((uint8_t)c);
    EXPECT_EQ(safe, (std::set<uint8_t>{0x81, 0x82, 0x83, 0x92, 0x96}));
}

TEST(RequestEncoding, FullBytesOfArgumentCommands) {
    EXPECT_EQ(encodeWords({"set-channel", "6"}), request(0x82, 6, 0, 0, 0, 0));
    EXPECT_EQ(encodeWords({"set-antenna", "255"}), request(0x83, 255, 0, 0, 0, 0));
    // Power goes as tenths of a dBm in value2, bandwidth in value1.
    EXPECT_EQ(encodeWords({"set-tx", "--rate", "15", "--bw", "40", "--power", "17.5"}),
              request(0x95, 15, 40, 175, 0, 0));
    EXPECT_EQ(encodeWords({"set-tx", "--power=0.5", "--rate=48", "--bw=20"}),
              request(0x95, 48, 20, 5, 0, 0));
    EXPECT_EQ(encodeWords({"start-rx", "--rate", "3", "--bw", "40"}),
              request(0x97, 3, 40, 0, 0, 0));
    EXPECT_EQ(encodeWords({"pa-read", "1"}), request(0x92, 0, 0, 0, 0, 1));
    // Coefficients are sent as 32-bit words carrying the signed 16-bit value.
    Bytes w = encodeWords({"pa-write", "1", "-372", "418", "0xfe8c"});
    EXPECT_EQ(w, request(0x93, 0, 0xFFFFFE8Cu, 418, 0xFFFFFE8Cu, 1));
    EXPECT_EQ(Bytes(w.begin() + 12, w.begin() + 16), (Bytes{0xFF, 0xFF, 0xFE, 0x8C}));
    EXPECT_EQ(w.size(), 25u);
}

TEST(RequestEncoding, EveryCommandWithoutArgumentsCarriesOnlyItsCode) {
    for (const char *word : {"enter-test-mode", "exit-test", "start-tx", "pa-init", "stop-tx",
                             "stop-rx", "start-cyc-tx", "stop-cyc-tx", "finish", "pa-save"}) {
        Parsed p = parseWords({word});
        ASSERT_EQ(p.result, ParseResult::Ok) << word << ": " << p.error;
        EXPECT_EQ(p.action.cmd->kind, ActionKind::Send);
        Bytes b(kReqPayloadLen);
        encodeTestMsg(p.action.req, b.data(), b.size());
        EXPECT_EQ(b, request((uint8_t)findCommand(word)->code, 0, 0, 0, 0, 0)) << word;
    }
}

TEST(RequestEncoding, RawSendsEveryFieldAsGiven) {
    EXPECT_EQ(encodeWords({"raw", "0x84", "--byte", "0xAB", "--v1", "-1", "--v2", "0x01020304",
                           "--v3", "4294967295", "--chain", "7"}),
              request(0x84, 0xAB, 0xFFFFFFFFu, 0x01020304u, 0xFFFFFFFFu, 7));
    EXPECT_EQ(encodeWords({"raw", "set-channel", "--byte", "11"}),
              request(0x82, 11, 0, 0, 0, 0));
    EXPECT_EQ(encodeWords({"raw", "0"}), request(0, 0, 0, 0, 0, 0));
}

TEST(RequestEncoding, RxStartsWithStartRx) {
    Parsed p = parseWords({"rx", "--rate", "7", "--bw", "20", "--seconds", "2.5"});
    ASSERT_EQ(p.result, ParseResult::Ok) << p.error;
    EXPECT_EQ(p.action.cmd->kind, ActionKind::Step);
    EXPECT_EQ(typedArg<Duration>(p.action, "--seconds").ms, 2500u);
    Bytes b(kReqPayloadLen);
    encodeTestMsg(p.action.req, b.data(), b.size());
    EXPECT_EQ(b, request(0x97, 7, 20, 0, 0, 0));
}

// ---- replies -------------------------------------------------------------

// The reply frame the agent sends to set-channel, as captured on the wire.
const uint8_t kSetChannelFrame[66] = {
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0x3a, 0x91, 0x5c, 0x7e, 0x48, 0x08, 0x00,
    0x45, 0x00, 0x00, 0x34, 0x00, 0x00, 0x00, 0x00, 0x40, 0x11, 0xb9, 0x10, 0xc0, 0xa8,
    0x01, 0x01, 0xff, 0xff, 0xff, 0xff, 0x04, 0x24, 0x04, 0x26, 0x00, 0x20, 0x00, 0x00,
    0x7f, 0x52, 0x46, 0x50, 0x52, 0x4f, 0x42, 0x45, 0x00, 0x00, 0x82, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
};

Bytes replyPayload(uint8_t code) {
    Bytes b(kSetChannelFrame + 42, kSetChannelFrame + 66);
    b[10] = code;
    return b;
}

TEST(ReplyDecoding, ShortReplyFromTheWire) {
    Bytes b = replyPayload(0x82);
    ASSERT_EQ(b.size(), 24u);
    TestMsg r;
    ASSERT_EQ(checkReply(b.data(), b.size(), 0x82, &r), ReplyCheck::Match);
    EXPECT_EQ(r.cmdType, 0x82);
    EXPECT_EQ(r.byteArg, 0);
    EXPECT_EQ(r.value1, 0u);
    EXPECT_EQ(replyHalf(r), 0);

    // Enter-test-mode: payload bytes 12..15 are 00 00 00 01.
    b = replyPayload(0x80);
    b[15] = 1;
    ASSERT_EQ(checkReply(b.data(), b.size(), 0x80, &r), ReplyCheck::Match);
    EXPECT_EQ(r.value1, 1u);

    // The short reply's fields: byte at 11, value1 at 12, 16-bit value at 16.
    b = replyPayload(0x98);
    b[11] = 0x5A;
    b[12] = 0x12, b[13] = 0x34, b[14] = 0x56, b[15] = 0x78;
    b[16] = 0xBE, b[17] = 0xEF;
    ASSERT_EQ(checkReply(b.data(), b.size(), 0x98, &r), ReplyCheck::Match);
    EXPECT_EQ(r.byteArg, 0x5A);
    EXPECT_EQ(r.value1, 0x12345678u);
    EXPECT_EQ(replyHalf(r), 0xBEEF);
    EXPECT_EQ(r.value2, 0xBEEF0000u);
}

TEST(ReplyDecoding, ParameterReplyCarriesThreeWords) {
    Bytes b = replyPayload(0x92);
    const uint8_t words[12] = {0x00, 0x00, 0xfe, 0x8c, 0x00, 0x00, 0x01, 0xa2,
                               0xff, 0xff, 0xff, 0xff};
    memcpy(&b[12], words, sizeof words);
    TestMsg r;
    ASSERT_EQ(checkReply(b.data(), b.size(), 0x92, &r), ReplyCheck::Match);
    EXPECT_EQ(r.value1, 65164u);
    EXPECT_EQ(r.value2, 418u);
    EXPECT_EQ(r.value3, 0xFFFFFFFFu);
    EXPECT_EQ(lowSigned16(r.value1), -372);
    EXPECT_EQ(lowSigned16(r.value3), -1);
    EXPECT_EQ(lowSigned16(0x00017FFFu), 32767);
}

TEST(ReplyDecoding, RejectsWhatIsNotTheAwaitedReply) {
    TestMsg r;
    Bytes b = replyPayload(0x82);
    // Truncated: one byte short of a reply.
    EXPECT_EQ(checkReply(b.data(), 23, 0x82, &r), ReplyCheck::Truncated);
    EXPECT_EQ(checkReply(b.data(), 0, 0x82, &r), ReplyCheck::Truncated);
    // A longer datagram still carries a reply in its first 24 bytes.
    Bytes longer = b;
    longer.push_back(0x55);
    EXPECT_EQ(checkReply(longer.data(), longer.size(), 0x82, &r), ReplyCheck::Match);
    // Either magic word wrong.
    for (size_t i : {0, 3, 4, 7}) {
        Bytes bad = b;
        bad[i] ^= 0x01;
        EXPECT_EQ(checkReply(bad.data(), bad.size(), 0x82, &r), ReplyCheck::BadMagic) << i;
    }
    // A reply to another command: decoded, but not a match.
    EXPECT_EQ(checkReply(b.data(), b.size(), 0x83, &r), ReplyCheck::OtherCode);
    EXPECT_EQ(r.cmdType, 0x82);
    // Listening accepts every code.
    EXPECT_EQ(checkReply(b.data(), b.size(), -1, &r), ReplyCheck::Match);
}

// ---- output --------------------------------------------------------------

TestMsg makeReply(uint8_t code, uint32_t v1, uint32_t v2 = 0, uint32_t v3 = 0) {
    TestMsg r{};
    r.cmdType = code;
    r.value1 = v1;
    r.value2 = v2;
    r.value3 = v3;
    return r;
}

std::string text(const TestMsg &r, bool generic = false, int chain = -1) {
    char buf[512];
    formatReplyText(r, generic, chain, buf, sizeof buf);
    return buf;
}

std::string json(const TestMsg &r, const char *from = "192.168.1.1:1060") {
    return formatReplyJson(r, from);
}

TEST(ReplyOutput, ReceivedCountIsUnsignedAndFlaggedWhenNegative) {
    EXPECT_EQ(text(makeReply(0x98, 500)), "stop-rx: received 500 frames");
    // Baseline 10, counter 4: the agent sends FF FF FF FA.
    std::string t = text(makeReply(0x98, 0xFFFFFFFAu));
    EXPECT_NE(t.find("4294967290"), std::string::npos) << t;
    EXPECT_NE(t.find("-6"), std::string::npos) << t;
    EXPECT_NE(t.find("went down"), std::string::npos) << t;
    EXPECT_EQ(text(makeReply(0x98, 0x7FFFFFFFu)), "stop-rx: received 2147483647 frames");
}

TEST(ReplyOutput, PaReadShowsDecimalHexAndSigned16) {
    std::string t = text(makeReply(0x92, 65164, 418, 0xFFFFFFFFu), false, 0);
    EXPECT_EQ(t,
              "pa-read chain 0:\n"
              "  pa1 = 65164 (0x0000fe8c, signed 16-bit -372)\n"
              "  pa2 = 418 (0x000001a2, signed 16-bit 418)\n"
              "  pa3 = 4294967295 (0xffffffff, signed 16-bit -1)");
}

TEST(ReplyOutput, PlainAndGenericLines) {
    EXPECT_EQ(text(makeReply(0x82, 0)), "set-channel: ok");
    EXPECT_EQ(text(makeReply(0x80, 1)), "enter-test-mode: ok");
    EXPECT_NE(text(makeReply(0x80, 0)).find("expected 1"), std::string::npos);
    EXPECT_EQ(text(makeReply(0x84, 2, 0x00030000u), true),
              "no command (0x84): byte=0 value1=2 (0x00000002) value2=196608 (0x00030000) "
              "value3=0 (0x00000000) half=3");
}

TEST(ReplyOutput, JsonKeysAreStable) {
    EXPECT_EQ(json(makeReply(0x98, 500)),
              "{\"cmd\":\"stop-rx\",\"code\":152,\"from\":\"192.168.1.1:1060\",\"byte\":0,"
              "\"value1\":500,\"value2\":0,\"value3\":0,\"half\":0,\"count\":500,"
              "\"count_signed\":500}");
    EXPECT_EQ(json(makeReply(0x98, 0xFFFFFFFAu), nullptr),
              "{\"cmd\":\"stop-rx\",\"code\":152,\"from\":null,\"byte\":0,"
              "\"value1\":4294967290,\"value2\":0,\"value3\":0,\"half\":0,"
              "\"count\":4294967290,\"count_signed\":-6}");
    EXPECT_EQ(json(makeReply(0x92, 65164, 418, 0xFFFFFFFFu)),
              "{\"cmd\":\"pa-read\",\"code\":146,\"from\":\"192.168.1.1:1060\",\"byte\":0,"
              "\"value1\":65164,\"value2\":418,\"value3\":4294967295,\"half\":0,"
              "\"pa\":[-372,418,-1]}");
    EXPECT_EQ(json(makeReply(0x84, 0)),
              "{\"cmd\":null,\"code\":132,\"from\":\"192.168.1.1:1060\",\"byte\":0,"
              "\"value1\":0,\"value2\":0,\"value3\":0,\"half\":0}");
}

}  // namespace
