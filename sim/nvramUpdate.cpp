// Simulated NVRAM update tool, /bin/nvramUpdate FILE.
//
// Keeps a numbered copy of every file it is handed (nvramUpdate.1, .2, ...)
// and merges the file into the NVRAM store "nvram": the first line
// "ID=<prefix>" names the prefix, every later line "<index>=<hex>" becomes the
// entry <prefix><index>=<hex>, and a later entry replaces an earlier one.
#include "simcommon.h"

int main(int argc, char **argv) {
    sim::journal(argc, argv);
    sim::Fault f = sim::takeFault("nvramUpdate");
    if (f.exitStatus != 0) return f.exitStatus;
    if (argc != 2) {
        fprintf(stderr, "usage: nvramUpdate <datafile>\n");
        return 1;
    }
    std::string text;
    if (!sim::readFile(argv[1], text)) {
        fprintf(stderr, "nvramUpdate: cannot read %s: %s\n", argv[1], strerror(errno));
        return 1;
    }

    sim::Lock lock;
    int n = 1;
    while (access(sim::path("nvramUpdate." + std::to_string(n)).c_str(), F_OK) == 0) n++;
    sim::writeFileAtomic(sim::path("nvramUpdate." + std::to_string(n)), text);

    std::map<std::string, std::string> store;
    std::string old, line;
    if (sim::readFile(sim::path("nvram"), old)) {
        std::istringstream in(old);
        while (std::getline(in, line)) {
            size_t eq = line.find('=');
            if (eq != std::string::npos) store[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    std::istringstream in(text);
    std::string prefix;
    int rc = 0, lineNo = 0;
    while (std::getline(in, line)) {
        lineNo++;
        size_t eq = line.find('=');
        if (eq == std::string::npos || eq == 0) {
            fprintf(stderr, "nvramUpdate: line %d ignored: %s\n", lineNo, line.c_str());
            rc = 1;
            continue;
        }
        std::string key = line.substr(0, eq), val = line.substr(eq + 1);
        if (lineNo == 1 && key == "ID") {
            prefix = val;
            continue;
        }
        store[prefix + key] = val;
    }
    std::string out;
    for (const auto &kv : store) out += kv.first + "=" + kv.second + "\n";
    sim::writeFileAtomic(sim::path("nvram"), out);
    return rc;
}
