// The records layer's rows of the command table: run with record options,
// sync, report, archive and restore.  Compiled into rfprobe only where the
// results library is built (tools/CMakeLists.txt); a build without it
// refuses those commands.
#include <cstdio>
#include <exception>

#include "line/golden.h"
#include "line/line.h"

namespace line {

namespace {

// An exception that no handler expects (no random source for record ids,
// no memory) ends the command with the store's status, not with abort().
template <int (*H)(const station::Options &, const station::Action &)>
int guarded(const station::Options &opt, const station::Action &act) {
    try {
        return H(opt, act);
    } catch (const std::exception &e) {
        fprintf(stderr, "rfprobe: %s: %s\n", act.cmd->word, e.what());
        return station::kExitStore;
    }
}

int sync(const station::Options &, const station::Action &act) { return syncCommand(act); }
int report(const station::Options &, const station::Action &act) { return reportCommand(act); }
int archive(const station::Options &, const station::Action &act) { return archiveCommand(act); }
int restore(const station::Options &, const station::Action &act) { return restoreCommand(act); }

const bool registered = station::registerRecordHandler("run", guarded<recordedRun>) &&
                        station::registerRecordHandler("sync", guarded<sync>) &&
                        station::registerRecordHandler("report", guarded<report>) &&
                        station::registerRecordHandler("archive", guarded<archive>) &&
                        station::registerRecordHandler("restore", guarded<restore>) &&
                        station::registerRecordHandler("fixture-cal", guarded<fixtureCalCommand>);

}  // namespace

}  // namespace line
