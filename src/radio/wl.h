// Radio command primitives: every `wl` command the agent runs (and the one
// killall), each through the shell.  The effect commands return 0 when the
// shell ran the command, -1 when it could not.
#pragma once

#include <cstddef>
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
// "wl pavars n0=0x.. n1=0x.. n2=0x..": the three coefficients by name.
int _exec_setPaVars(const char *const names[3], const int32_t values[3], bool logged, const char *failMsg);

// 1 when "wl isup" prints 1, otherwise 0.
int _exec_isWlanUp(void);
// The "rxdfrmmcast" count of "wl counters" into *value: 0, or -1 when the
// output cannot be read or holds no such entry.
int _exec_getRxCountersNum(int32_t *value);
// The output of "wl pavars" into out (n bytes), as hostRead reads it;
// pipeFailMsg is the caller's message for a pipe that cannot be opened.
long _exec_readPaVars(char *out, size_t n, const char *pipeFailMsg);
