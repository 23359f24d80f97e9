// Shared plumbing of the simulated router tools (wl, killall, nvramUpdate).
//
// Every tool keeps its state in one directory, /var/sim inside the router's
// root (the rig binds a host directory there so the tests can read it;
// RFPROBE_SIM_DIR overrides it).  Files in it:
//   journal            one line per tool invocation, the exact command as run
//   state              key=value lines: the simulated radio and daemons
//   lock               flock()ed around every read-modify-write of state
//   fault.<tool>[.<sub>]  fault injection for the next invocations (see below)
//   seq.<tool>.<sub>   scripted outputs, one token consumed per invocation
//
// A fault file holds lines "key value":
//   exit N        exit with status N and change nothing
//   delay MS      sleep before doing anything else
//   output empty  print nothing; output garbage: print noise instead
//   omit NAME     leave NAME out of the output (a coefficient, rxdfrmmcast)
//   drop          exit 0 as if done, but change nothing (wl: a setting the
//                 driver accepts and does not apply)
//   once          delete the fault file after it has applied once
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace sim {

inline std::string dir() {
    const char *d = getenv("RFPROBE_SIM_DIR");
    return d && *d ? d : "/var/sim";
}
inline std::string path(const std::string &name) { return dir() + "/" + name; }

inline bool readFile(const std::string &p, std::string &out) {
    std::ifstream f(p, std::ios::binary);
    if (!f) return false;
    std::ostringstream ss;
    ss << f.rdbuf();
    out = ss.str();
    return true;
}

// Replace a file's contents in one go (write a temporary, rename it over).
inline bool writeFileAtomic(const std::string &p, const std::string &data) {
    std::string tmp = p + ".tmp." + std::to_string(getpid());
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        if (!f) return false;
        f << data;
        if (!f) return false;
    }
    return rename(tmp.c_str(), p.c_str()) == 0;
}

// Held for the whole life of a tool run: the continuous transmit worker runs
// wl beside the agent's main thread, and every run reads, changes and writes
// the state as one step.
class Lock {
   public:
    Lock() {
        fd_ = open(path("lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ >= 0) flock(fd_, LOCK_EX);
    }
    ~Lock() {
        if (fd_ >= 0) close(fd_);
    }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

   private:
    int fd_ = -1;
};

// Quote one argument so that the journal line reads as the shell command that
// produced it: plain words stay as they are, anything else goes in "".
inline std::string quoteArg(const std::string &a) {
    bool plain = !a.empty();
    for (unsigned char c : a)
        if (!(isalnum(c) || strchr("_:./=+-,@%", c))) plain = false;
    if (plain) return a;
    std::string q = "\"";
    for (char c : a) {
        if (c == '"' || c == '\\' || c == '$' || c == '`') q += '\\';
        q += c;
    }
    return q + "\"";
}

// One line per invocation, appended with a single write under its own lock.
inline void journal(int argc, char **argv) {
    std::string line;
    for (int i = 0; i < argc; i++) {
        if (i) line += ' ';
        line += quoteArg(argv[i]);
    }
    line += '\n';
    int fd = open(path("journal").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    flock(fd, LOCK_EX);
    ssize_t n = write(fd, line.data(), line.size());
    (void)n;
    close(fd);
}

using State = std::map<std::string, std::string>;

inline State loadState(const std::string &simDir = dir()) {
    State s;
    std::string text;
    if (!readFile(simDir + "/state", text)) return s;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq == std::string::npos || line[0] == '#') continue;
        s[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return s;
}

inline void saveState(const State &s, const std::string &simDir = dir()) {
    std::string text;
    for (const auto &kv : s) text += kv.first + "=" + kv.second + "\n";
    writeFileAtomic(simDir + "/state", text);
}

inline long long getNum(const State &s, const std::string &k, long long dflt) {
    auto it = s.find(k);
    if (it == s.end() || it->second.empty()) return dflt;
    return strtoll(it->second.c_str(), nullptr, 0);
}

struct Fault {
    bool any = false;
    int exitStatus = 0;
    int delayMs = 0;
    std::string output;               // "", "empty" or "garbage"
    std::vector<std::string> omit;    // names to leave out of the output
    bool drop = false;                // a change is not kept
    bool omits(const std::string &name) const {
        for (const auto &o : omit)
            if (o == name) return true;
        return false;
    }
};

// The most specific fault file wins: fault.wl.counters before fault.wl.
inline Fault loadFault(const std::string &tool, const std::string &sub) {
    Fault f;
    std::string p = path("fault." + tool + "." + sub), text;
    if (sub.empty() || !readFile(p, text)) {
        p = path("fault." + tool);
        if (!readFile(p, text)) return f;
    }
    f.any = true;
    std::istringstream in(text);
    std::string key, val;
    bool once = false;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream l(line);
        key.clear();
        val.clear();
        l >> key >> val;
        if (key == "exit") f.exitStatus = atoi(val.c_str());
        else if (key == "delay") f.delayMs = atoi(val.c_str());
        else if (key == "output") f.output = val;
        else if (key == "omit") f.omit.push_back(val);
        else if (key == "drop") f.drop = true;
        else if (key == "once") once = true;
    }
    if (once) unlink(p.c_str());
    return f;
}

inline void sleepMs(int ms) {
    if (ms <= 0) return;
    struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
    }
}

// Loads a tool's fault under the lock and waits out its delay.
inline Fault takeFault(const std::string &tool) {
    Fault f;
    {
        Lock lock;
        f = loadFault(tool, "");
    }
    sleepMs(f.delayMs);
    return f;
}

inline long long nowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Pop the first whitespace-separated token of seq.<tool>.<sub>.  Returns
// false when there is no such file or it is used up.
inline bool popSeq(const std::string &tool, const std::string &sub, std::string &tok) {
    std::string p = path("seq." + tool + "." + sub), text;
    if (!readFile(p, text)) return false;
    std::istringstream in(text);
    if (!(in >> tok)) return false;
    std::string rest, t;
    while (in >> t) rest += t + " ";
    writeFileAtomic(p, rest);
    return true;
}

inline const char *kGarbage = "\x01\x7f#!?** ~~ garbled ~~ 0xZZ\n";

}  // namespace sim
