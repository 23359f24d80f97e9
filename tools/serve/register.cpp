// rfprobe serve joins the command table where the page is built
// (tools/CMakeLists.txt).
#include <cstdio>
#include <exception>

#include "serve/serve.h"
#include "station/args/command.h"

namespace {

int guardedServe(const station::Options &opt, const station::Action &act) {
    try {
        return serve::serveCommand(opt, act);
    } catch (const std::exception &e) {
        fprintf(stderr, "rfprobe: serve: %s\n", e.what());
        return station::kExitStore;
    }
}

const bool registered = station::registerRecordHandler("serve", guardedServe);

}  // namespace
