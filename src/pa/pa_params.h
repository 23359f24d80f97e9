// PA calibration: reading, writing and saving the power-amplifier
// coefficients of the two transmit chains, and the data file handed to the
// NVRAM update tool.
#pragma once

#include <cstdint>

// Macros, so that the commands take them in as part of their fixed text.
#define PA_DATA_FILE "/var/datafile"
#define NVRAM_UPDATE_TOOL "/bin/nvramUpdate"

int _exec_initPaDataFile(void);
int _exec_readCurrParam(int32_t *params, int chain);
int setPaParams(int16_t pa1, int16_t pa2, int16_t pa3, int chain);
int _exec_nvramUpdatePaParams(void);

// The handlers answer every request (0), whatever their operation gave.
int gen_initPaDataFile(void);
// The chain's three coefficients into params, 0 where none was read.
int gen_readPaParams(uint8_t chain, int32_t params[3]);
int gen_writePaParams(int16_t pa1, int16_t pa2, int16_t pa3, uint8_t chain);
int gen_savePaParams(void);
