#include "proto/dispatch.h"

#include <array>

#include "app/lifecycle.h"
#include "pa/pa_params.h"
#include "proto/reply.h"
#include "proto/testmsg.h"
#include "radio/cyctx.h"
#include "radio/testproc.h"
#include "util/log.h"

// Each entry turns the decoded request into its handler's arguments.

static int run_enterTestMode(const TestReq *) { return gen_enterTestMode(); }

static int run_exitTest(const TestReq *)
{
    rfLog("EXIT TEST.");
    return gen_exitTest();
}

static int run_setChannel(const TestReq *r) { return gen_setChannel(r->byteArg); }
static int run_setAntenna(const TestReq *r) { return gen_setAntenna(r->byteArg); }
static int run_startTxFrames(const TestReq *) { return gen_startTxFrames(); }
static int run_initPaDataFile(const TestReq *) { return gen_initPaDataFile(); }
static int run_readPaParams(const TestReq *r) { return gen_readPaParams(r->chain); }

// Coefficients travel in the low 16 bits of each word, as signed numbers.
static int run_writePaParams(const TestReq *r)
{
    return gen_writePaParams((int16_t)(uint16_t)r->value1, (int16_t)(uint16_t)r->value2,
                             (int16_t)(uint16_t)r->value3, r->chain);
}

// Power travels in tenths of a dBm.
static int run_setTx(const TestReq *r)
{
    float power = (float)r->value2 / 10.0f;
    return gen_setTx(r->byteArg, (int32_t)r->value1, power);
}

static int run_stopTx(const TestReq *) { return gen_stopTx(); }
static int run_startRx(const TestReq *r) { return gen_startRx(r->byteArg, (int32_t)r->value1); }
static int run_stopRx(const TestReq *) { return gen_stopRx(); }
static int run_startCycTx(const TestReq *) { return gen_startCycTx(); }
static int run_stopCycTx(const TestReq *) { return gen_stopCycTx(); }
static int run_finishTest(const TestReq *) { return gen_finishTest(); }
static int run_savePaParams(const TestReq *) { return gen_savePaParams(); }

struct CmdEntry {
    const char *name;
    size_t need;  // captured bytes up to the last field the command reads
    int (*run)(const TestReq *req);
};

static constexpr std::array<CmdEntry, kCmdTableSize> makeCmdTable()
{
    std::array<CmdEntry, kCmdTableSize> t{};
#define RFPROBE_CMD_ENTRY(code, name, word, need, run, form) t[(code) - kCmdFirst] = CmdEntry{#name, need, run};
    RFPROBE_COMMANDS(RFPROBE_CMD_ENTRY)
#undef RFPROBE_CMD_ENTRY
    return t;
}

static constexpr std::array<CmdEntry, kCmdTableSize> kCmdTable = makeCmdTable();

static const CmdEntry *findCmd(uint8_t code)
{
    if (code < kCmdFirst || code > kCmdLast)
        return nullptr;
    const CmdEntry *e = &kCmdTable[code - kCmdFirst];
    return e->run != nullptr ? e : nullptr;
}

const char *cmdName(uint8_t code)
{
    const CmdEntry *e = findCmd(code);
    return e != nullptr ? e->name : nullptr;
}

void handleTestFrame(const uint8_t *frame, size_t caplen)
{
    if (caplen < kNeedCmd)
        return;
    const uint8_t *msg = frame + kFramePayloadOff;
    if (getBe32(msg + kMsgOffMagic) != kTestMagicWord0)
        return;
    if (getBe32(msg + kMsgOffMagic + 4) != kTestMagicWord1)
        return;

    uint8_t code = msg[kMsgOffCmd];
    const CmdEntry *e = findCmd(code);
    if (e != nullptr && caplen < e->need)
        return;

    rfLog("--cmdType = %x", (unsigned)code);
    if (e == nullptr)
        return;

    // Decode only what was captured; fields past the end stay zero.
    TestReq req = {};
    req.cmdType = code;
    if (caplen >= kNeedByte)
        req.byteArg = msg[kMsgOffByte];
    if (caplen >= kNeedValue1)
        req.value1 = getBe32(msg + kMsgOffValue1);
    if (caplen >= kNeedValue2)
        req.value2 = getBe32(msg + kMsgOffValue2);
    if (caplen >= kNeedValue3)
        req.value3 = getBe32(msg + kMsgOffValue3);
    if (caplen >= kNeedChain)
        req.chain = msg[kMsgOffChain];
    e->run(&req);
}

void handleTestPacket(u_char *, const struct pcap_pkthdr *header, const u_char *bytes)
{
    handleTestFrame(bytes, header->caplen);
}
