// Records for the results tests, shaped like the station's own: a factory
// plan with a receive test measured against limits and a PA read.
#pragma once

#include <string>
#include <vector>

#include "results/record.h"

namespace fixtures {

struct Shape {
    std::string serial = "SN0001";
    std::string plan = "factory.plan";
    std::string day = "2024-05-01";  // UTC day of the start
    int second = 0;                  // seconds after 10:00:00 that day
    double rxCount = 1000;           // limits 950..1050
    bool rxError = false;            // stop-rx got no reply
    double pa0 = -372;               // limits -400..-300
};

// A complete record with verdicts applied; validateRecord accepts it.
results::Record makeRecord(const Shape &s = Shape());

// r with a pa-cal step (line 9) appended that keeps its points as the
// series "points", as the station records them; verdicts applied again.
void addCalStep(results::Record *r);

// A small line's records over two days and two plans, with a retest, a
// low receive count, a receive error, a PA coefficient out of limits and a
// record without steps.  docs and tests quote its report.
std::vector<results::Record> lineDataset();

// Records of six days from January to April 2024 for the archive's tests,
// oldest first; the second and fourth are golden checks of tester port
// "3", the third of port "4"; the first keeps a series.
std::vector<results::Record> archiveDataset();
// The records' digests of an archive file, line by line.
std::vector<std::string> archiveDigests(const std::string &file);

// A fresh temporary directory; removed by removeTree.
std::string tempDir();
void removeTree(const std::string &dir);

}  // namespace fixtures
