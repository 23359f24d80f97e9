// Reports over the SQLite store.  The PostgreSQL tests check that the same
// records give the same bytes there.
#include <gtest/gtest.h>

#include <sstream>

#include "fixtures.h"
#include "results/report.h"

using namespace results;

namespace {

class Reports : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fixtures::tempDir();
        store = Store::open(dir + "/results.sqlite");
        for (const Record &r : fixtures::lineDataset()) store->write(r);
    }
    void TearDown() override {
        store.reset();
        fixtures::removeTree(dir);
    }
    std::string dir;
    std::unique_ptr<Store> store;
};

}  // namespace

TEST_F(Reports, YieldFailuresAndStatistics) {
    EXPECT_EQ(formatReport(*store, RecordFilter()),
              "Yield per plan and day (UTC)\n"
              "PLAN          DAY         RECORDS  UNITS  PASS  FAIL  ERROR   YIELD\n"
              "factory.plan  2024-05-01        4      3     2     1      1   50.0%\n"
              "factory.plan  2024-05-02        2      2     1     1      0   50.0%\n"
              "smoke.plan    2024-05-01        1      1     1     0      0  100.0%\n"
              "smoke.plan    2024-05-02        1      1     0     0      1    0.0%\n"
              "\n"
              "Failures by step (most frequent first)\n"
              "PLAN          LINE  STEP     FAIL  ERROR  RUNS\n"
              "factory.plan     5  rx          1      1     6\n"
              "factory.plan     7  pa-read     1      0     6\n"
              "\n"
              "Measured values per step\n"
              "PLAN          LINE  STEP     MEASUREMENT  COUNT   MIN  MEDIAN   MAX\n"
              "factory.plan     5  rx       count            5    12    1000  1010\n"
              "factory.plan     7  pa-read  pa1              6  -450    -372  -310\n"
              "factory.plan     7  pa-read  pa2              6   418     418   418\n"
              "factory.plan     7  pa-read  pa3              6     0       0     0\n"
              "smoke.plan       5  rx       count            1  1000    1000  1000\n"
              "smoke.plan       7  pa-read  pa1              1  -372    -372  -372\n"
              "smoke.plan       7  pa-read  pa2              1   418     418   418\n"
              "smoke.plan       7  pa-read  pa3              1     0       0     0\n");
}

TEST_F(Reports, Filters) {
    RecordFilter f;
    f.plan = "factory.plan";
    f.since = "2024-05-02";
    auto y = store->yieldByPlanDay(f);
    ASSERT_EQ(y.size(), 1u);
    EXPECT_EQ(y[0].day, "2024-05-02");
    EXPECT_DOUBLE_EQ(y[0].yield(), 0.5);
    auto fails = store->failuresByStep(f);
    ASSERT_EQ(fails.size(), 1u);
    EXPECT_EQ(fails[0].command, "pa-read");
    f = RecordFilter();
    f.serial = "SN1";
    auto st = store->measurementStats(f);
    ASSERT_EQ(st.size(), 4u);
    EXPECT_EQ(st[0].count, 2);
    EXPECT_DOUBLE_EQ(st[0].median, 995);
    f.serial = "NOSUCH";
    EXPECT_EQ(formatReport(*store, f),
              "Yield per plan and day (UTC)\n(none)\n\nFailures by step (most frequent first)\n(none)\n\n"
              "Measured values per step\n(none)\n");
}

TEST_F(Reports, CsvExport) {
    std::ostringstream out;
    // 7 records of 6 rows (4 steps, 3 measurements on the last; the errored
    // rx step has no count but a row of its own), 1 for the empty record.
    EXPECT_EQ(exportCsv(*store, RecordFilter(), out), 7 * 6 + 1);
    std::istringstream in(out.str());
    std::string head, first, line, last;
    std::getline(in, head);
    std::getline(in, first);
    while (std::getline(in, line)) last = line;
    EXPECT_EQ(head,
              "record_id,serial,station,operator,plan,plan_sha256,started_at,ended_at,verdict,step_index,line,"
              "command,args,step_verdict,error,duration_s,measurement,value,low,high,measurement_verdict");
    std::string rest = first.substr(first.find(','));  // past the random id
    EXPECT_EQ(rest.substr(0, rest.find(",factory.plan,")), ",SN1,line3-st1,Ana Lima");
    EXPECT_NE(first.find(",2024-05-01T10:00:00.000Z,2024-05-01T10:00:02.500Z,PASS,0,2,enter-test-mode,,PASS,,0.012,,,,,"),
              std::string::npos)
        << first;
    EXPECT_NE(last.find(",SN7,"), std::string::npos) << last;
    EXPECT_NE(last.find(",ERROR,,,,,,,,,,,,"), std::string::npos) << last;
    EXPECT_NE(out.str().find(",ERROR,no reply to stop-rx within 2000 ms,2.0105,,,,,\n"), std::string::npos);
    EXPECT_NE(out.str().find(",pa1,-371,-400,-300,PASS\n"), std::string::npos);
}

