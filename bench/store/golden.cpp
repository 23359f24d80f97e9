// store-golden: the golden lock-out's lookup, timed on a results store.
//
//   store-golden --store URL [--stations S] [--ports P] [--repeat R]
//
// Opens the store as a station does (one connection, kept) and asks it
// for the newest golden check of every port of every station
// (Store::lastGoldenCheck, the lookup the lock-out makes at each unit's
// start), R rounds.  Prints the lookups, how many found a check, and the
// median, 99th percentile and largest time of one lookup in ms.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "results/store.h"

using namespace results;

int main(int argc, char **argv) {
    std::string url;
    long stations = 20, ports = 4, repeat = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--store") url = v;
        else if (k == "--stations") stations = atol(v.c_str());
        else if (k == "--ports") ports = atol(v.c_str());
        else if (k == "--repeat") repeat = atol(v.c_str());
        else {
            fprintf(stderr, "store-golden: unknown option %s\n", k.c_str());
            return 2;
        }
    }
    if (url.empty()) {
        fprintf(stderr, "usage: store-golden --store URL [--stations S] [--ports P] [--repeat R]\n");
        return 2;
    }
    try {
        OpenOptions o;
        o.mustExist = true;
        auto store = Store::open(url, o);
        std::vector<double> ms;
        long found = 0;
        for (long r = 0; r < repeat; r++)
            for (long s = 1; s <= stations; s++)
                for (long p = 1; p <= ports; p++) {
                    auto t = std::chrono::steady_clock::now();
                    auto g = store->lastGoldenCheck("line-" + std::to_string(s), std::to_string(p));
                    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count());
                    found += g ? 1 : 0;
                }
        std::sort(ms.begin(), ms.end());
        printf("lookups %zu found %ld median_ms %.3f p99_ms %.3f max_ms %.3f\n", ms.size(), found, ms[ms.size() / 2],
               ms[std::min(ms.size() - 1, ms.size() * 99 / 100)], ms.back());
        return 0;
    } catch (const std::exception &e) {
        fprintf(stderr, "store-golden: %s\n", e.what());
        return 1;
    }
}
