// rfprobe serve: the operator page on the line's units.
#pragma once

#include <string>

#include "station/args/args.h"

namespace serve {

int serveCommand(const station::Options &opt, const station::Action &act);

// "HOST:PORT" (IPv4 dotted) -> host, port; false with *why.
bool parseListen(const std::string &text, std::string *host, int *port, std::string *why);

}  // namespace serve
