#include "radio/testproc.h"

#include "radio/wl.h"
#include "util/log.h"

TestItem gTestItem;
TestItem gLastTestItem;
int32_t gRxStartCount;

void resetLastTestItem(void)
{
    gLastTestItem.channel = 100;
    gLastTestItem.is40MHz = 3;
    gLastTestItem.rateIndex = 0;
}

int gen_enterTestMode(void)
{
    _exec_killAcsd();
    _exec_wlUpDown(0);
    _exec_setBandB();
    _exec_wlUpDown(1);
    _exec_clearSsid();
    _exec_forceCal();
    return 0;
}

int gen_setChannel(uint8_t channel)
{
    gTestItem.channel = channel;
    return 0;
}

int gen_setAntenna(uint8_t antenna)
{
    gTestItem.antenna = antenna;
    return 0;
}

int gen_startTxFrames(void)
{
    _exec_startPktEng();
    return 0;
}

// Bandwidth, channel and rate: each command is sent only when its setting
// differs from what was applied last, and the cache follows right after the
// command whether or not it ran.
static void applyCachedSettings(uint8_t channel, int32_t bandwidth, uint8_t rateIndex, uint8_t want40)
{
    if (gLastTestItem.channel != channel || gLastTestItem.is40MHz != want40) {
        _exec_setChanspec(channel, bandwidth);
        gLastTestItem.channel = channel;
        gLastTestItem.is40MHz = want40;
    }
    if (gLastTestItem.rateIndex != rateIndex) {
        _exec_setNrate(rateIndex);
        gLastTestItem.rateIndex = rateIndex;
    }
}

int gen_setTx(uint8_t rateIndex, int32_t bandwidth, float power)
{
    uint8_t want40 = bandwidth == 40 ? 1 : 0;

    _exec_wlUpDown(0);
    if (gLastTestItem.is40MHz != want40)
        _exec_setMimoTxbw(want40 ? 4 : 2);
    _exec_setTxChain(gTestItem.antenna);
    applyCachedSettings(gTestItem.channel, bandwidth, rateIndex, want40);
    _exec_wlUpDown(1);
    _exec_setTxPower(power);
    return 0;
}

int gen_stopTx(void)
{
    _exec_stopPktEng();
    return 0;
}

int gen_startRx(uint8_t rateIndex, int32_t bandwidth)
{
    uint8_t want40 = bandwidth == 40 ? 1 : 0;
    int32_t count = 0;

    if (gLastTestItem.is40MHz != want40)
        _exec_setMimoTxbw(want40 ? 4 : 2);
    _exec_setRxChain(gTestItem.antenna);
    applyCachedSettings(gTestItem.channel, bandwidth, rateIndex, want40);

    if (_exec_getRxCountersNum(&count) != 0) {
        rfLog("gen_startRx get counters num fail");
        return -1;
    }
    gRxStartCount = count;
    return 0;
}

int gen_stopRx(uint32_t *count)
{
    int32_t end = 0;

    if (_exec_getRxCountersNum(&end) == -1) {
        // The odd "GETrX" stays: log parsers match this line as it is.
        rfLog("gen_stopRx GETrX end num fail");
        return -1;
    }
    *count = (uint32_t)end - (uint32_t)gRxStartCount;
    return 0;
}
