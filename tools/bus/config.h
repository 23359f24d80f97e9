// The station's bus configuration: a TOML file (docs/factory.md) that
// --bus names, or the fixture's [bus] file.
//
//   [broker]
//   url = "amqp://127.0.0.1:5672"
//   credentials = "bus-credentials"   # one line USER:PASSWORD, beside this file
//   timeout = 2.0                     # s: connecting and each send
//
//   [station]
//   handle = "acme.rfprobe.st1"       # the endpoint's handle (maker.model.serial)
//   publish = "/queue/cfx.results"    # where its messages go
//   replies = "/queue/acme.rfprobe.st1.replies"
//
//   [route_check]
//   mode = "enforced"                 # off, advisory, enforced
//   request = "/queue/mes.requests"   # the MES's request address
//   target = "factory.mes.1"          # the MES's handle
//   timeout = 2.0                     # s
#pragma once

#include <stdexcept>
#include <string>

namespace bus {

// The file is unreadable or wrong; what() names the file and the key.
struct ConfigError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class RouteMode { Off, Advisory, Enforced };

struct Config {
    std::string path;  // as given, for messages
    std::string url;
    std::string user, password;  // empty: anonymous
    double timeoutS = 2.0;
    std::string handle;
    std::string publish;
    std::string replies;
    RouteMode mode = RouteMode::Off;
    std::string request;
    std::string target;
    double routeTimeoutS = 2.0;

    // The URL as messages show it (never the password).
    std::string broker() const { return url; }
};

const char *modeName(RouteMode m);

// Reads and checks the file; throws ConfigError.
Config readConfig(const std::string &path);

}  // namespace bus
