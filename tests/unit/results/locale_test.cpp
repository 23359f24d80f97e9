// Numbers whatever the locale: a station whose LC_NUMERIC writes a decimal
// comma writes records, JUnit times, reports and the CSV export exactly as
// under the C locale, and reads its store back the same.  The comma locale
// is built for the test (localedef into a temporary directory, LOCPATH).
#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include <unistd.h>

#include "fixtures.h"
#include "results/export.h"
#include "results/report.h"

using namespace results;

namespace {

// Everything the results library writes from the line's records.
std::string everything(const std::string &dir, const std::vector<Record> &recs) {
    std::string db = dir + "/results.sqlite";
    for (const char *end : {"", "-wal", "-shm"}) unlink((db + end).c_str());
    auto store = Store::open(db);
    std::string out;
    for (const Record &r : recs) {
        store->write(r);
        out += toJson(*store->load(r.id));
    }
    std::vector<const Record *> ptrs;
    for (const Record &r : recs) ptrs.push_back(&r);
    out += toJunitXml(ptrs) + formatReport(*store, RecordFilter());
    std::ostringstream csv;
    exportCsv(*store, RecordFilter(), csv);
    return out + csv.str();
}

}  // namespace

TEST(Locale, ACommaDecimalLocaleChangesNoNumber) {
    std::string dir = fixtures::tempDir();
    std::vector<Record> recs = fixtures::lineDataset();
    std::string expected = everything(dir, recs);
    std::string cmd = "localedef -i de_DE -f UTF-8 " + dir + "/de_DE.UTF-8 >/dev/null 2>&1";
    if (system(cmd.c_str()) != 0) {
        fixtures::removeTree(dir);
        GTEST_SKIP() << "localedef cannot build de_DE.UTF-8 (package locales)";
    }
    setenv("LOCPATH", dir.c_str(), 1);
    ASSERT_NE(setlocale(LC_ALL, "de_DE.UTF-8"), nullptr);
    char probe[16];
    snprintf(probe, sizeof probe, "%.1f", 0.5);
    EXPECT_STREQ(probe, "0,5");  // the locale is in force
    std::string got = everything(dir, recs);
    setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
    fixtures::removeTree(dir);
    EXPECT_EQ(got, expected);
}
