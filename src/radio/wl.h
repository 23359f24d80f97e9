// Radio command primitives: one `wl` (or killall) command each, run through
// the shell.  0 when the shell ran the command, -1 when it could not.
#pragma once

#include <cstdint>

constexpr int kRateCount = 49;
// The number written into "wl nrate" for each rate index.
extern const int32_t gRateTable[kRateCount];

int _exec_wlUpDown(int up);
int _exec_setBandB(void);
int _exec_setMimoTxbw(uint8_t value);
int _exec_setTxChain(uint8_t antenna);
int _exec_setRxChain(uint8_t antenna);
int _exec_setChanspec(int channel, int width);
int _exec_setNrate(int rateIndex);
int _exec_setTxPower(float power);
int _exec_startPktEng(void);
int _exec_stopPktEng(void);
int _exec_clearSsid(void);
int _exec_killAcsd(void);
int _exec_forceCal(void);
