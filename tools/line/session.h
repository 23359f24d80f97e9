// What `rfprobe run` with records and `rfprobe serve` open before anything
// is sent, through one function: the plan, the record options, the fixture's
// tester and the results store.
#pragma once

#include <functional>
#include <memory>

#include "line/tester.h"
#include "line/unit.h"
#include "results/store.h"

namespace line {

struct Session {
    Plan plan;
    Setup setup;
    std::unique_ptr<SharedTester> tester;  // null: no fixture and no tester step
    std::unique_ptr<results::Store> store;
};

// Reads the plan (act.path) and the record options, prepares the fixture's
// tester (--fixture, else $RFPROBE_FIXTURE) and opens the store, for the
// command `word`.  unitsLater: the units come with each scan (serve).
// ownOptions reads the command's own options beside the record options; a
// results::InvalidInput from it ends the session as theirs do.  Returns
// kExitOk, or the status after saying why on stderr (nothing was sent).
int openSession(const station::Options &opt, const station::Action &act, const char *word, bool unitsLater,
                const std::function<void()> &ownOptions, Session *out);

}  // namespace line
