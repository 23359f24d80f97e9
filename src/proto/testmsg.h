// Test-frame protocol: the byte layout shared by the agent and the station.
//
// Everything here is a plain constant or a byte-array accessor, so that the
// agent's decoder, its reply builders and the station tool read and write the
// same offsets in network byte order whatever the host's byte order is.
#pragma once

#include <cstddef>
#include <cstdint>

// UDP ports: requests go to 1060, replies come from 1060 to 1062.
constexpr uint16_t kTestReqPort = 1060;
constexpr uint16_t kTestReplyPort = 1062;

// 0x7F "RFPROBE", compared as two big-endian words.
constexpr uint8_t kTestMagic[8] = {0x7F, 0x52, 0x46, 0x50, 0x52, 0x4F, 0x42, 0x45};
constexpr uint32_t kTestMagicWord0 = 0x7F524650u;
constexpr uint32_t kTestMagicWord1 = 0x524F4245u;

// Offsets inside the TestMsg payload.
constexpr size_t kMsgOffMagic = 0;
constexpr size_t kMsgOffCmd = 10;
constexpr size_t kMsgOffByte = 11;
constexpr size_t kMsgOffValue1 = 12;
constexpr size_t kMsgOffValue2 = 16;
constexpr size_t kMsgOffValue3 = 20;
constexpr size_t kMsgOffChain = 24;
constexpr size_t kReqPayloadLen = 25;    // a request is read up to the chain byte
constexpr size_t kReplyPayloadLen = 24;  // a reply ends before it

// Requests are read at fixed frame offsets: 14 (Ethernet) + 20 (IPv4 without
// options) + 8 (UDP).  Replies are built with the same header sizes.
constexpr size_t kFramePayloadOff = 42;
constexpr size_t kReplyFrameLen = kFramePayloadOff + kReplyPayloadLen;  // 66

// Where the UDP header says its datagram ends: the IPv4 protocol byte and
// the UDP length field of a frame with a 20-byte IPv4 header.
constexpr size_t kFrameIpProtoOff = 23;
constexpr uint8_t kIpProtoUdp = 17;
constexpr size_t kFrameUdpOff = 34;
constexpr size_t kFrameUdpLenOff = kFrameUdpOff + 4;
constexpr size_t kUdpHeaderLen = 8;

// Captured bytes a request needs before a field can be read.
constexpr size_t kNeedCmd = kFramePayloadOff + kMsgOffCmd + 1;         // 53
constexpr size_t kNeedByte = kFramePayloadOff + kMsgOffByte + 1;       // 54
constexpr size_t kNeedValue1 = kFramePayloadOff + kMsgOffValue1 + 4;   // 58
constexpr size_t kNeedValue2 = kFramePayloadOff + kMsgOffValue2 + 4;   // 62
constexpr size_t kNeedValue3 = kFramePayloadOff + kMsgOffValue3 + 4;   // 66
constexpr size_t kNeedChain = kFramePayloadOff + kMsgOffChain + 1;     // 67

// Reply frame constants.
constexpr uint8_t kReplySrcMac[6] = {0x02, 0x3a, 0x91, 0x5c, 0x7e, 0x48};
constexpr const char *kReplySrcIp = "192.168.1.1";

// How a command's reply carries its values.  Short: the byte argument,
// value1, and a 16-bit value in payload bytes 16-17 (the upper half of
// value2).  Params: three 32-bit values.  Every reply is kReplyPayloadLen
// bytes; what a command does not set is zero.
enum ReplyForm : uint8_t { kReplyShort, kReplyParams };

// The command table: the one place that says which codes have a command.
// Columns: code, CMD_ name, the station's word for it, the captured bytes the
// request needs (the last field its command reads), the agent's entry for it
// (app/commands.cpp: request fields to handler arguments, handler result to
// answer), and the form of the reply it answers with.  The agent expands the
// rows into its command table; the station, the dissector and the test
// helpers take theirs from the same rows.
#define RFPROBE_COMMANDS(X)                                                                       \
    X(0x80, CMD_ENTER_TEST_MODE, "enter-test-mode", kNeedCmd, run_enterTestMode, kReplyShort)     \
    X(0x81, CMD_EXIT_TEST, "exit-test", kNeedCmd, run_exitTest, kReplyShort)                      \
    X(0x82, CMD_SET_CHANNEL, "set-channel", kNeedByte, run_setChannel, kReplyShort)               \
    X(0x83, CMD_SET_ANTENNA, "set-antenna", kNeedByte, run_setAntenna, kReplyShort)               \
    X(0x87, CMD_START_TX_FRAMES, "start-tx", kNeedCmd, run_startTxFrames, kReplyShort)            \
    X(0x91, CMD_INIT_PA_DATAFILE, "pa-init", kNeedCmd, run_initPaDataFile, kReplyShort)           \
    X(0x92, CMD_READ_PA_PARAMS, "pa-read", kNeedChain, run_readPaParams, kReplyParams)            \
    X(0x93, CMD_WRITE_PA_PARAMS, "pa-write", kNeedChain, run_writePaParams, kReplyShort)          \
    X(0x95, CMD_SET_TX, "set-tx", kNeedValue2, run_setTx, kReplyShort)                            \
    X(0x96, CMD_STOP_TX, "stop-tx", kNeedCmd, run_stopTx, kReplyShort)                            \
    X(0x97, CMD_START_RX, "start-rx", kNeedValue1, run_startRx, kReplyShort)                      \
    X(0x98, CMD_STOP_RX, "stop-rx", kNeedCmd, run_stopRx, kReplyShort)                            \
    X(0x99, CMD_START_CYC_TX, "start-cyc-tx", kNeedCmd, run_startCycTx, kReplyShort)              \
    X(0x9A, CMD_STOP_CYC_TX, "stop-cyc-tx", kNeedCmd, run_stopCycTx, kReplyShort)                 \
    X(0x9B, CMD_FINISH_TEST, "finish", kNeedCmd, run_finishTest, kReplyShort)                     \
    X(0x9C, CMD_SAVE_PA_PARAMS, "pa-save", kNeedCmd, run_savePaParams, kReplyShort)

enum : uint8_t {
#define RFPROBE_CMD_ENUM(code, name, word, need, run, form) name = code,
    RFPROBE_COMMANDS(RFPROBE_CMD_ENUM)
#undef RFPROBE_CMD_ENUM
};

// The dispatch range: codes 0x80..0x9C index a table of 29 entries.
constexpr uint8_t kCmdFirst = 0x80;
constexpr uint8_t kCmdLast = 0x9C;
constexpr size_t kCmdTableSize = kCmdLast - kCmdFirst + 1;  // 29

// Big-endian accessors.  The payload sits at frame offset 42, so nothing in
// it is aligned: always go through bytes.
inline uint32_t getBe32(const uint8_t *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}
inline uint16_t getBe16(const uint8_t *p) { return (uint16_t)(p[0] << 8 | p[1]); }
inline void putBe32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}
inline void putBe16(uint8_t *p, uint16_t v) {
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}

// A TestMsg payload, decoded, as the agent and the station both see it.  A
// request carries every field; a reply ends before the chain.  A short
// reply's 16-bit value is the upper half of value2.
struct TestMsg {
    uint8_t cmdType;
    uint8_t byteArg;
    uint32_t value1;
    uint32_t value2;
    uint32_t value3;
    uint8_t chain;
};

// The 16-bit value of a short reply.
inline uint16_t replyHalf(const TestMsg &r) { return (uint16_t)(r.value2 >> 16); }

// Writes the payload of len bytes (kReqPayloadLen for a request,
// kReplyPayloadLen for a reply): the magic, the code and the fields that fit.
inline void encodeTestMsg(const TestMsg &m, uint8_t *payload, size_t len)
{
    for (size_t i = 0; i < len; i++)
        payload[i] = 0;
    for (size_t i = 0; i < sizeof(kTestMagic) && kMsgOffMagic + i < len; i++)
        payload[kMsgOffMagic + i] = kTestMagic[i];
    if (len > kMsgOffCmd)
        payload[kMsgOffCmd] = m.cmdType;
    if (len > kMsgOffByte)
        payload[kMsgOffByte] = m.byteArg;
    if (len >= kMsgOffValue1 + 4)
        putBe32(payload + kMsgOffValue1, m.value1);
    if (len >= kMsgOffValue2 + 4)
        putBe32(payload + kMsgOffValue2, m.value2);
    if (len >= kMsgOffValue3 + 4)
        putBe32(payload + kMsgOffValue3, m.value3);
    if (len > kMsgOffChain)
        payload[kMsgOffChain] = m.chain;
}

// Where a captured request ends.  A NIC pads a short frame to 60 bytes with
// whatever it likes (zeros, mostly): the datagram ends where its UDP length
// says when that is shorter than the capture, so padding is never read as a
// field.  A UDP length smaller than its own header or beyond the capture is
// not believed (the capture ends the request then), and a frame that is not
// UDP (the filter passes TCP to the port, too) has no such length to read.
inline size_t requestEnd(const uint8_t *frame, size_t caplen)
{
    if (caplen < kFrameUdpLenOff + 2 || frame[kFrameIpProtoOff] != kIpProtoUdp)
        return caplen;
    size_t udpLen = getBe16(frame + kFrameUdpLenOff);
    if (udpLen < kUdpHeaderLen || kFrameUdpOff + udpLen > caplen)
        return caplen;
    return kFrameUdpOff + udpLen;
}

// Whether a payload of len bytes starts with the magic and reaches the code.
inline bool hasTestMagic(const uint8_t *payload, size_t len)
{
    return len > kMsgOffCmd && getBe32(payload + kMsgOffMagic) == kTestMagicWord0 &&
           getBe32(payload + kMsgOffMagic + 4) == kTestMagicWord1;
}

// Decodes the fields that lie wholly inside len bytes; the others are zero.
// Never reads past len.
inline TestMsg decodeTestMsg(const uint8_t *payload, size_t len)
{
    TestMsg m = {};
    if (len > kMsgOffCmd)
        m.cmdType = payload[kMsgOffCmd];
    if (len > kMsgOffByte)
        m.byteArg = payload[kMsgOffByte];
    if (len >= kMsgOffValue1 + 4)
        m.value1 = getBe32(payload + kMsgOffValue1);
    if (len >= kMsgOffValue2 + 4)
        m.value2 = getBe32(payload + kMsgOffValue2);
    if (len >= kMsgOffValue3 + 4)
        m.value3 = getBe32(payload + kMsgOffValue3);
    if (len > kMsgOffChain)
        m.chain = payload[kMsgOffChain];
    return m;
}
