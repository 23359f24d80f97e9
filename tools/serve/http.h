// The operator page's HTTP side: the page's files, the state as
// Server-Sent Events, and start and stop, on cpp-httplib.  Every request
// beyond this machine's loopback address carries the station's token.
#pragma once

#include <memory>
#include <string>

#include "serve/panels.h"

namespace serve {

class PageServer {
  public:
    // token: empty when none is required (127.0.0.1).
    PageServer(Panels &panels, std::string token);
    ~PageServer();

    // Binds host:port (0: any free port); false with *why.  *port gets the
    // port bound.
    bool bind(const std::string &host, int *port, std::string *why);
    // Serves in a thread of its own until stop().
    void start();
    void stop();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Constant-time comparison of a request's token with the station's.
bool tokenMatches(const std::string &given, const std::string &token);

}  // namespace serve
