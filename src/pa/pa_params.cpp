#include "pa/pa_params.h"

#include "radio/wl.h"
#include "util/field.h"
#include "util/hostcmd.h"
#include "util/log.h"

// Coefficient names and data-file indices, first to third, per chain.
static const char *const kPaNames[2][3] = {
    {"pa2gw0a0", "pa2gw1a0", "pa2gw2a0"},
    {"pa2gw0a1", "pa2gw1a1", "pa2gw2a1"},
};
static const int kPaIndex[2][3] = {{97, 98, 99}, {113, 114, 115}};

// The data-file commands fail when the shell cannot run or when the line is
// not written (the echo ends with a status other than 0, as on a full /var):
// a file cut short must never be handed to the update tool.
int _exec_initPaDataFile(void)
{
    return hostRunfChecked(true, "PA data file init fail", "echo \"ID=pci/2/0/\" > " PA_DATA_FILE);
}

// Reads the chain's coefficients from "wl pavars" into params.  Returns -1
// when the output could not be read, else the number of coefficients read as
// numbers (all three for a complete reading; 0 for a chain other than 0 and
// 1).  A name with no digits behind it ("pa2gw0a0=0x") leaves its value as
// it was.
static int readChainParams(int32_t *params, int chain)
{
    char out[kOutBufSize];

    if (_exec_readPaVars(out, sizeof(out), "_exec_readCurrParam create FILE fail") <= 0)
        return -1;

    int found = 0;
    if (chain == 0 || chain == 1) {
        for (int i = 0; i < 3; i++)
            if (getFieldNumber(out, kPaNames[chain][i], &params[i], "=", kFieldHex) == kFieldNumber)
                found++;
    } else {
        rfLog("readcurrparam too many chain");
    }
    rfLog("READcurrParam param[0] = %d, param[1] = %d, param[2] = %d", params[0], params[1], params[2]);
    return found;
}

int _exec_readCurrParam(int32_t *params, int chain)
{
    if (params == nullptr) {
        rfLog("_exec_readCurrParam params == NULL");
        return -1;
    }
    return readChainParams(params, chain) < 0 ? -1 : 0;
}

static int appendPaLine(int index, uint32_t value, const char *failFmt)
{
    if (hostRunfChecked(false, nullptr, "echo \"%d=%x\" >> " PA_DATA_FILE, index, value) != 0) {
        rfLog(failFmt, index);
        return -1;
    }
    return 0;
}

static int runNvramUpdate(void)
{
    return hostRun(NVRAM_UPDATE_TOOL " " PA_DATA_FILE, false, "nvramupdate fail");
}

int setPaParams(int16_t pa1, int16_t pa2, int16_t pa3, int chain)
{
    // Sign-widened: -372 writes 97=fffffe8c where a save writes 97=fe8c; NVRAM readers know both.
    const int32_t pa[3] = {pa1, pa2, pa3};

    _exec_wlUpDown(0);
    // Ends in \r\n before rfLog's CR LF: log parsers expect the empty line after it.
    rfLog("setPaParams: chain = %d, pa1 = %x, pa2 = %x, pa3 = %x\r\n", chain, (unsigned)pa[0], (unsigned)pa[1],
          (unsigned)pa[2]);

    if (chain == 0 || chain == 1) {
        // Chain 0's command is logged, chain 1's is not.
        if (_exec_setPaVars(kPaNames[chain], pa, chain == 0,
                            chain == 0 ? "set pavars fail(chain 0)" : "set pavars fail(chain 1)") != 0)
            return -1;
        const char *failFmt = chain == 0 ? "set pa %d fail(chain0)" : "set pa %d fail(chain1)";
        for (int i = 0; i < 3; i++)
            if (appendPaLine(kPaIndex[chain][i], (uint32_t)pa[i], failFmt) != 0)
                return -1;
    } else {
        rfLog("set pa params too many chain");
    }

    if (runNvramUpdate() != 0)
        return -1;
    _exec_wlUpDown(1);
    return 0;
}

int _exec_nvramUpdatePaParams(void)
{
    // The source file's name leads chain 0's message: log parsers match it.
    static const char *const kFailFmt[2] = {"pa_params.cpp set pa %d fail(chain0)", "set pa %d fail(chain1)"};

    if (_exec_initPaDataFile() != 0) {
        rfLog("save pa params fail: data file not started, NVRAM left unchanged");
        return -1;
    }
    for (int chain = 0; chain < 2; chain++) {
        int32_t params[3] = {0, 0, 0};
        // Only the radio's own coefficients may reach NVRAM: a chain that
        // cannot be read in full, or with a coefficient that is not a number,
        // stops the save before the update tool runs, and what NVRAM holds
        // stays as it was.
        int found = readChainParams(params, chain);
        if (found != 3) {
            rfLog("save pa params fail: chain %d coefficients not read in full, NVRAM left unchanged", chain);
            return -1;
        }
        // As read, not widened: 97=fe8c where a write gives 97=fffffe8c; NVRAM readers know both.
        for (int i = 0; i < 3; i++)
            if (appendPaLine(kPaIndex[chain][i], (uint32_t)params[i], kFailFmt[chain]) != 0)
                return -1;
    }
    return runNvramUpdate();
}

int gen_initPaDataFile(void)
{
    _exec_initPaDataFile();
    return 0;
}

int gen_readPaParams(uint8_t chain, int32_t params[3])
{
    params[0] = params[1] = params[2] = 0;
    _exec_readCurrParam(params, chain);
    return 0;
}

int gen_writePaParams(int16_t pa1, int16_t pa2, int16_t pa3, uint8_t chain)
{
    setPaParams(pa1, pa2, pa3, chain);
    return 0;
}

int gen_savePaParams(void)
{
    _exec_nvramUpdatePaParams();
    return 0;
}
