// Each entry turns the decoded request into its handler's arguments and the
// handler's result into the answer: a handler returns 0 when the station is
// to be answered, -1 when it is not.
#include "app/commands.h"

#include "app/lifecycle.h"
#include "pa/pa_params.h"
#include "radio/cyctx.h"
#include "radio/testproc.h"
#include "util/log.h"

int gen_exitTest(void)
{
    return 0;
}

static void run_enterTestMode(const TestMsg &, CmdAnswer *a)
{
    a->reply = gen_enterTestMode() == 0;
    a->msg.value1 = 1;  // stations read 1 as "in test mode"
}

static void run_exitTest(const TestMsg &, CmdAnswer *a)
{
    rfLog("EXIT TEST.");
    a->reply = gen_exitTest() == 0;
}

static void run_setChannel(const TestMsg &r, CmdAnswer *a) { a->reply = gen_setChannel(r.byteArg) == 0; }
static void run_setAntenna(const TestMsg &r, CmdAnswer *a) { a->reply = gen_setAntenna(r.byteArg) == 0; }
static void run_startTxFrames(const TestMsg &, CmdAnswer *a) { a->reply = gen_startTxFrames() == 0; }
static void run_initPaDataFile(const TestMsg &, CmdAnswer *a) { a->reply = gen_initPaDataFile() == 0; }

// The coefficients travel as 32-bit patterns.
static void run_readPaParams(const TestMsg &r, CmdAnswer *a)
{
    int32_t params[3];
    a->reply = gen_readPaParams(r.chain, params) == 0;
    a->msg.value1 = (uint32_t)params[0];
    a->msg.value2 = (uint32_t)params[1];
    a->msg.value3 = (uint32_t)params[2];
}

// Coefficients travel in the low 16 bits of each word, as signed numbers.
static void run_writePaParams(const TestMsg &r, CmdAnswer *a)
{
    a->reply = gen_writePaParams((int16_t)(uint16_t)r.value1, (int16_t)(uint16_t)r.value2,
                                 (int16_t)(uint16_t)r.value3, r.chain) == 0;
}

// Power travels in tenths of a dBm.
static void run_setTx(const TestMsg &r, CmdAnswer *a)
{
    float power = (float)r.value2 / 10.0f;
    a->reply = gen_setTx(r.byteArg, (int32_t)r.value1, power) == 0;
}

static void run_stopTx(const TestMsg &, CmdAnswer *a) { a->reply = gen_stopTx() == 0; }
static void run_startRx(const TestMsg &r, CmdAnswer *a) { a->reply = gen_startRx(r.byteArg, (int32_t)r.value1) == 0; }
static void run_stopRx(const TestMsg &, CmdAnswer *a) { a->reply = gen_stopRx(&a->msg.value1) == 0; }
static void run_startCycTx(const TestMsg &, CmdAnswer *a) { a->reply = gen_startCycTx() == 0; }

// The stop is answered before the wait for the worker to end.
static void run_stopCycTx(const TestMsg &, CmdAnswer *a)
{
    a->reply = gen_stopCycTx() == 0;
    a->afterReply = waitForStoppedCycTx;
}

static void run_finishTest(const TestMsg &, CmdAnswer *a)
{
    a->reply = gen_finishTest() == 0;
    a->endServing = true;
}

static void run_savePaParams(const TestMsg &, CmdAnswer *a) { a->reply = gen_savePaParams() == 0; }

static constexpr CmdTable makeAgentCommands()
{
    CmdTable t{};
#define AGENT_COMMAND(code, name, word, need, run, form) t[(code) - kCmdFirst] = CmdEntry{need, form, run};
    RFPROBE_COMMANDS(AGENT_COMMAND)
#undef AGENT_COMMAND
    return t;
}

constexpr CmdTable kAgentCommands = makeAgentCommands();
