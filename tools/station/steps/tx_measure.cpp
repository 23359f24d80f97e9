// tx-measure: the tester measures the unit's transmission at the plan's
// last set-tx.
#include <cmath>

#include "pacal/calibrate.h"
#include "station/args/common_args.h"
#include "station/step/tester.h"

namespace station {

namespace {

// The screen's line, in this order; the limit options below index it.
constexpr MeasureDecl kMeasures[] = {
    {"power", "dBm", 2, MeasureKind::Limited},        // at the unit's port
    {"power_error", "dB", 2, MeasureKind::Limited},   // power - applied_power
    {"evm", "dB", 1, MeasureKind::Limited},
    {"freq_error", "ppm", 2, MeasureKind::Limited},
    {"applied_power", "dBm", 2, MeasureKind::Bookkeeping},  // set-tx's power as the radio applies it
};

struct Args {
    Duration settle;
};

constexpr ArgDef kArgs[] = {
    typedArg(RFPROBE_ARG(Args, settle), "--settle", "S",
             "wait between starting the packet engine and measuring,\n0..86400 s (default 0)", false,
             "settle time"),
    {"--power", "LO..HI", "--power", Conv::Range, Field::Each, false, limitIndex(kMeasures, "power"), 0,
     "limits of the output power, dBm at the unit's port;\n"
     "either end may be left out (16..19, 15..)",
     nullptr, kLimits},
    {"--power-error", "LO..HI", "--power-error", Conv::Range, Field::Each, false,
     limitIndex(kMeasures, "power_error"), 0,
     "limits of the power's error from the power the radio\n"
     "applies (set-tx's, truncated to quarter dB), dB",
     nullptr, kLimits},
    {"--evm", "LO..HI", "--evm", Conv::Range, Field::Each, false, limitIndex(kMeasures, "evm"), 0,
     "limits of the EVM, dB", nullptr, kLimits},
    {"--evm-max", "DB", "--evm-max", Conv::Limit, Field::EachMax, false, limitIndex(kMeasures, "evm"), 0,
     "highest EVM that passes, dB (--evm ..DB)", nullptr, kLimits},
    {"--freq-error", "LO..HI", "--freq-error", Conv::Range, Field::Each, false,
     limitIndex(kMeasures, "freq_error"), 0, "limits of the frequency error, ppm", nullptr, kLimits},
    kStopOnFail,
};

// To a thousandth: finer than any tester resolves, and the path loss
// interpolated between its points adds digits that mean nothing.
double milli(double v) { return std::round(v * 1000) / 1000; }

void run(StepRun &s) {
    if (!testerReady(s, kNeedsTx)) return;
    // The radio sends set-tx's power in its own steps (quarter dB, as
    // pa-cal models it): the error is the unit's against what it applied,
    // not the truncation's.
    double applied = pacal::radioSetPower((int)std::lround(s.unit.txPowerDbm * 10));
    TxReading m;
    if (measureTransmission(s, applied, s.args<Args>().settle.ms, &m) != kExitOk) return;
    s.measured(0, milli(m.powerDbm));
    s.measured(1, milli(m.powerDbm - applied));
    s.measured(2, milli(m.evmDb));
    s.measured(3, milli(m.freqErrorPpm));
    s.measured(4, applied);
    s.out.status = kExitOk;
}

}  // namespace

RFPROBE_STEP(tx_measure) = {
    {nullptr, ActionKind::Step, CMD_START_TX_FRAMES, nullptr, kArgs, kPlanStep, ReplyView::Ok,
     "the tester measures the unit's transmission", "measure the transmission on the tester",
     "    A plan step, run with the fixture's tester (run --fixture). It takes the\n"
     "    tester's turn, sets the analyser to the channel, bandwidth and power of\n"
     "    the plan's last set-tx, sends start-tx, waits --settle, measures and\n"
     "    sends stop-tx (also when the measurement failed). It measures power\n"
     "    (dBm at the unit's port: the fixture's path loss is added),\n"
     "    power_error (dB from the power the radio applies), evm (dB),\n"
     "    freq_error (ppm) and applied_power (dBm: set-tx's power as the radio\n"
     "    applies it, truncated to quarter dB).\n"
     "    An answer that is not a number, a timeout, a tester that cannot be\n"
     "    reached or an error in its queue makes the step ERROR (exit status\n"
     "    6), naming the tester, the command and its message.\n",
     "    tx-measure --settle 0.1 --power-error -1.5..1.5 --evm-max -25 --freq-error -20..20\n",
     argsBlock<Args>()},
    kMeasures,
    sizeof kMeasures / sizeof kMeasures[0],
    kNeedsTx | kNeedsTester,
    run,
};

}  // namespace station
