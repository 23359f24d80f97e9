// rfprobe station: the tool's exit statuses, which every layer returns.
#pragma once

namespace station {

// Exit statuses of the tool.
constexpr int kExitOk = 0;           // success; a step or plan with limits: PASS
constexpr int kExitFail = 1;         // a step or plan with limits: FAIL
constexpr int kExitUsage = 2;        // bad argument, bad plan line, unknown command
constexpr int kExitSocket = 3;       // a socket could not be opened, bound or used
constexpr int kExitNoReply = 4;      // no matching reply within the timeout
constexpr int kExitStore = 5;        // the results store cannot be opened, read or written
constexpr int kExitTester = 6;       // the tester failed, could not be reached or answered badly
constexpr int kExitInterrupted = 130;

}  // namespace station
