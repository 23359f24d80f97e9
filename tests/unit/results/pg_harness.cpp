#include "pg_harness.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

PgServer &PgServer::shared() {
    static PgServer server;
    return server;
}

PgServer::PgServer() {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[0]), close(in[1]), close(out[0]), close(out[1]);
        execl("/usr/bin/python3", "python3", RFPROBE_PGSERVER, "serve", (char *)nullptr);
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    toHelper_ = in[1];
    fromHelper_ = out[0];
    std::string line = readLine();
    if (line.compare(0, 4, "url ") == 0)
        baseUrl_ = line.substr(4);
    else
        why_ = line.compare(0, 12, "unavailable ") == 0 ? line.substr(12) : "PostgreSQL test server: " + line;
}

PgServer::~PgServer() {
    if (toHelper_ >= 0) close(toHelper_);  // end of input: the helper removes the server
    if (fromHelper_ >= 0) close(fromHelper_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
}

std::string PgServer::readLine() {
    std::string line;
    char c;
    while (read(fromHelper_, &c, 1) == 1 && c != '\n') line += c;
    return line;
}

void PgServer::command(const std::string &cmd) {
    std::string l = cmd + "\n";
    if (write(toHelper_, l.data(), l.size()) != (ssize_t)l.size()) throw std::runtime_error("pgserver helper gone");
    std::string reply = readLine();
    if (reply != "ok") throw std::runtime_error("pgserver " + cmd + ": " + reply);
}

std::string PgServer::url(const std::string &name) {
    command("createdb " + name);
    std::string u = baseUrl_;
    size_t p = u.find("/postgres?");
    return u.substr(0, p) + "/" + name + u.substr(p + 9);
}

void PgServer::stop() { command("stop"); }
void PgServer::start() { command("start"); }
