// A real PostgreSQL server for the tests of this binary, started on first
// use through tests/pgserver.py (Debian's server programs, a data directory
// and socket of its own) and removed when the binary exits, or dies: the
// helper ends the server when its input pipe closes.
#pragma once

#include <sys/types.h>

#include <string>

class PgServer {
  public:
    // The binary's one server, started on first call.
    static PgServer &shared();
    ~PgServer();

    // False when this machine cannot run one (why() says why): tests skip.
    bool available() const { return !baseUrl_.empty(); }
    const std::string &why() const { return why_; }

    // A postgresql:// URL for database name, created empty on first use.
    std::string url(const std::string &name);
    // The server goes away (its socket too) and comes back with its data.
    void stop();
    void start();

  private:
    PgServer();
    void command(const std::string &cmd);
    std::string readLine();

    pid_t pid_ = -1;
    int toHelper_ = -1;
    int fromHelper_ = -1;
    std::string baseUrl_, why_;
};

#define SKIP_WITHOUT_POSTGRES()                                                      \
    do {                                                                              \
        if (!PgServer::shared().available()) GTEST_SKIP() << PgServer::shared().why(); \
    } while (0)
