#include "radio/wl.h"

#include <cstdio>

#include "util/field.h"
#include "util/hostcmd.h"
#include "util/log.h"

// Indexes 0-14 are legacy rates ("-r"), 15-22 single-stream and 23-48
// two-stream MCS ("-m ... -s 0" and "-m ... -s 3").
const int32_t gRateTable[kRateCount] = {
    1,  2,  2,  5,  5,  11, 11, 6,  9,  12, 18, 24, 36, 48, 54,  // 0-14
    0,  1,  2,  3,  4,  5,  6,  7,                               // 15-22
    7,  8,  9,  10, 11, 12, 13, 14, 15, 15, 16, 17, 18,          // 23-35
    19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31,          // 36-48
};

int _exec_wlUpDown(int up)
{
    return hostRun(up ? "wl up" : "wl down", false, "set ap up or down fail");
}

int _exec_setBandB(void)
{
    return hostRun("wl band b", true, "set band fail");
}

int _exec_setMimoTxbw(uint8_t value)
{
    return hostRunf(true, "set mimo txbw fail", "wl mimo_txbw %d", (int)value);
}

int _exec_setTxChain(uint8_t antenna)
{
    if (hostRunf(true, "set txchain fail", "wl txchain %d", (int)antenna + 1) != 0)
        return -1;
    return hostRunf(true, "set txant fail", "wl txant %d", (int)antenna);
}

int _exec_setRxChain(uint8_t antenna)
{
    return hostRunf(true, "set rxchain fail", "wl rxchain %d", (int)antenna + 1);
}

int _exec_setChanspec(int channel, int width)
{
    int band = channel < 15 ? 2 : 5;
    int sideband = 0;
    if (width == 40)
        sideband = channel < 7 ? -1 : 1;
    return hostRunf(true, "set chanspec fail", "wl chanspec -c %d -b %d -w %d -s %d", channel, band, width, sideband);
}

int _exec_setNrate(int rateIndex)
{
    // The index comes straight from the request byte; the table ends at 48.
    if (rateIndex < 0 || rateIndex >= kRateCount) {
        rfLog("set nrate fail: rate index %d out of range 0-%d", rateIndex, kRateCount - 1);
        return -1;
    }
    int32_t value = gRateTable[rateIndex];
    if (rateIndex < 15)
        return hostRunf(true, "set nrate fail", "wl nrate -r %d", (int)value);
    int streams = rateIndex >= 23 ? 3 : 0;
    return hostRunf(true, "set nrate fail", "wl nrate -m %d -s %d", (int)value, streams);
}

int _exec_setTxPower(float power)
{
    // Quarter-dB steps, truncated toward zero, in single precision.
    float quarters = power * 4.0f;
    int32_t q;
    if (!(quarters > -2147483648.0f))  // also NaN
        q = quarters != quarters ? 0 : INT32_MIN;
    else if (quarters >= 2147483648.0f)
        q = INT32_MAX;
    else
        q = (int32_t)quarters;
    return hostRunf(true, "set Targetpower fail", "wl txpwr1 -o -q %d", (int)q);
}

int _exec_startPktEng(void)
{
    return hostRun("wl pkteng_start 00:11:22:33:44:55 tx 50 1000 0", true, "start send tx frames fail");
}

int _exec_stopPktEng(void)
{
    return hostRun("wl pkteng_stop tx", false, "set pkteng_stop fail");
}

int _exec_clearSsid(void)
{
    return hostRun("wl ssid \"\"", false, "set ssid fail");
}

int _exec_killAcsd(void)
{
    return hostRun("killall -9 acsd 2>/dev/null", false, "kill acsd failed");
}

int _exec_forceCal(void)
{
    return hostRun("wl phy_forcecal 1", false, "set phy_forcecal fail");
}

int _exec_setPaVars(const char *const names[3], const int32_t values[3], bool logged, const char *failMsg)
{
    return hostRunf(logged, failMsg, "wl pavars %s=0x%x %s=0x%x %s=0x%x", names[0], (unsigned)values[0], names[1],
                    (unsigned)values[1], names[2], (unsigned)values[2]);
}

int _exec_isWlanUp(void)
{
    char out[kOutBufSize];
    int up = 0;

    if (hostRead("wl isup", out, sizeof(out), "_exec_isWlanUp create FILE fail") <= 0)
        return 0;
    sscanf(out, "%d", &up);
    return up == 1 ? 1 : 0;
}

int _exec_getRxCountersNum(int32_t *value)
{
    char out[kCountersBufSize];

    // The typo "ceate" stays: log parsers match this line as it is.
    long got = hostRead("wl counters", out, sizeof(out), "_exec_getRxCountersNum FILE ceate file");
    if (got <= 0)
        return -1;
    return GetValueFromField(out, "rxdfrmmcast", value, " ", kFieldDecimal);
}

long _exec_readPaVars(char *out, size_t n, const char *pipeFailMsg)
{
    return hostRead("wl pavars", out, n, pipeFailMsg);
}
