// The operator page's HTTP side: the page's files, the state as
// Server-Sent Events, and start and stop.  One thread serves every
// connection, event-driven (Boost.Asio, Beast's parser): an open page, a
// slow or a silent client holds a socket and a few kilobytes, never a
// thread, so no viewer can keep a scan from starting.  Every request
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

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace serve
