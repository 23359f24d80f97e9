// Test settings and the transmit / receive test handlers.  Each handler
// returns 0 when the station is to be answered, -1 when it is not.
#pragma once

#include <cstdint>

// A set of radio test settings.  gLastTestItem leaves antenna alone: the
// chain commands go out on every set-TX and start-RX, so no decision needs
// the antenna applied last.
struct TestItem {
    uint8_t channel;
    uint8_t antenna;    // antenna index; the chain commands use antenna + 1
    uint8_t is40MHz;    // 1 when the applied bandwidth is 40
    uint8_t rateIndex;  // index into gRateTable
};

// Requested channel and antenna (set-channel, set-antenna).
extern TestItem gTestItem;
// What set-TX and start-RX applied to the radio last.
extern TestItem gLastTestItem;
// The "rxdfrmmcast" count read by the last successful start-RX.
extern int32_t gRxStartCount;

// Sets gLastTestItem to its start values, which match no request, so that
// the first set-TX or start-RX sends its bandwidth and channel commands.
void resetLastTestItem(void);

int gen_enterTestMode(void);
int gen_setChannel(uint8_t channel);
int gen_setAntenna(uint8_t antenna);
int gen_startTxFrames(void);
int gen_setTx(uint8_t rateIndex, int32_t bandwidth, float power);
int gen_stopTx(void);
// -1 (no answer) when the counter cannot be read.
int gen_startRx(uint8_t rateIndex, int32_t bandwidth);
// The frames received since start-RX into *count, modulo 2^32; -1 (no
// answer) when the counter cannot be read.
int gen_stopRx(uint32_t *count);
