// PA coefficients: read, write, data file and save.
#include "fake_host.h"
#include "pa/pa_params.h"
#include "proto/testmsg.h"

using Lines = std::vector<std::string>;

static const char *kPavarsBoth = "pa2gw0a0=0xfe8c\npa2gw1a0=0x1a2\npa2gw2a0=0x0\n"
                                 "pa2gw0a1=0xff00\npa2gw1a1=0x1b0\npa2gw2a1=0xfffe\n";

class PaTest : public AgentTest {
protected:
    // Replays the shell commands against a model of /var/datafile: what the
    // file held each time the update tool ran, and what it holds now.
    struct Replay {
        Lines file;
        std::vector<Lines> toolRuns;
    };
    Replay replay()
    {
        Replay r;
        for (const auto &c : host.runs) {
            bool failed = false;
            for (const auto &p : host.shellFailPrefixes)
                failed |= c.rfind(p, 0) == 0;
            if (failed)
                continue;  // the shell never ran it
            const std::string create = "echo \"", tailNew = "\" > /var/datafile", tailAdd = "\" >> /var/datafile";
            if (c == "/bin/nvramUpdate /var/datafile") {
                r.toolRuns.push_back(r.file);
            } else if (c.rfind(create, 0) == 0) {
                auto endsWith = [&](const std::string &t) {
                    return c.size() >= t.size() && c.compare(c.size() - t.size(), t.size(), t) == 0;
                };
                if (endsWith(tailAdd)) {
                    r.file.push_back(c.substr(create.size(), c.size() - create.size() - tailAdd.size()));
                } else if (endsWith(tailNew)) {
                    r.file = {c.substr(create.size(), c.size() - create.size() - tailNew.size())};
                }
            }
        }
        return r;
    }
    void write(int16_t a, int16_t b, int16_t c, uint8_t chain)
    {
        deliver(makeRequest(CMD_WRITE_PA_PARAMS, 0, (uint16_t)a, (uint16_t)b, (uint16_t)c, chain));
    }
};

TEST_F(PaTest, WriteAfterInitSignWidensIntoCommandAndFile)
{
    deliver(makeRequest(CMD_INIT_PA_DATAFILE));
    log();
    write(-372, 418, 0, 0);
    ASSERT_GE(host.runs.size(), 3u);
    EXPECT_EQ(host.runs[1], "wl down");
    EXPECT_EQ(host.runs[2], "wl pavars pa2gw0a0=0xfffffe8c pa2gw1a0=0x1a2 pa2gw2a0=0x0");
    EXPECT_EQ(host.runs.back(), "wl up");
    Replay r = replay();
    EXPECT_EQ(r.file, (Lines{"ID=pci/2/0/", "97=fffffe8c", "98=1a2", "99=0"}));
    ASSERT_EQ(r.toolRuns.size(), 1u);
    EXPECT_EQ(r.toolRuns[0], r.file);
    // The summary line ends in its own CR LF, so an empty line follows; chain
    // 0's pavars command is logged, the file lines are not.
    EXPECT_EQ(logLines(), (Lines{"--cmdType = 93", "setPaParams: chain = 0, pa1 = fffffe8c, pa2 = 1a2, pa3 = 0", "",
                                 "wl pavars pa2gw0a0=0xfffffe8c pa2gw1a0=0x1a2 pa2gw2a0=0x0"}));
    EXPECT_EQ(replyCode(host.frames.back()), CMD_WRITE_PA_PARAMS);
}

TEST_F(PaTest, WritesAppendAndTheToolSeesEveryLineSoFar)
{
    deliver(makeRequest(CMD_INIT_PA_DATAFILE));
    write(1, 2, 3, 0);
    write(4, 5, 6, 0);
    write(-1, -2, -3, 1);
    Replay r = replay();
    EXPECT_EQ(r.file, (Lines{"ID=pci/2/0/", "97=1", "98=2", "99=3", "97=4", "98=5", "99=6", "113=ffffffff",
                             "114=fffffffe", "115=fffffffd"}));
    ASSERT_EQ(r.toolRuns.size(), 3u);
    EXPECT_EQ(r.toolRuns[0].size(), 4u);
    EXPECT_EQ(r.toolRuns[1].size(), 7u);
    // Chain 1's pavars command runs but is not logged.
    EXPECT_EQ(host.runsStartingWith("wl pavars pa2gw0a1").size(), 1u);
    for (const auto &l : logLines())
        EXPECT_EQ(l.find("wl pavars pa2gw0a1"), std::string::npos);
}

TEST_F(PaTest, WriteWithoutInitAppendsToWhateverIsThere)
{
    write(7, 8, 9, 1);
    Replay r = replay();
    EXPECT_EQ(r.file, (Lines{"113=7", "114=8", "115=9"}));
    EXPECT_EQ(r.toolRuns.size(), 1u);
}

TEST_F(PaTest, WriteToUnknownChainStillRunsToolAndBringsRadioUp)
{
    deliver(makeRequest(CMD_INIT_PA_DATAFILE));
    host.runs.clear();
    log();
    write(1, 2, 3, 2);
    EXPECT_EQ(host.runs, (Lines{"wl down", "/bin/nvramUpdate /var/datafile", "wl up"}));
    Lines lines = logLines();
    EXPECT_EQ(lines.back(), "set pa params too many chain");
    EXPECT_EQ(replyCode(host.frames.back()), CMD_WRITE_PA_PARAMS);
}

TEST_F(PaTest, UpperHalfOfEachWordIsDropped)
{
    deliver(makeRequest(CMD_WRITE_PA_PARAMS, 0, 0x1234FE8C, 0xFFFF01A2, 0x00010000, 0));
    ASSERT_EQ(host.runsStartingWith("wl pavars").size(), 1u);
    EXPECT_EQ(host.runsStartingWith("wl pavars")[0], "wl pavars pa2gw0a0=0xfffffe8c pa2gw1a0=0x1a2 pa2gw2a0=0x0");
}

TEST_F(PaTest, FailedFileLineStopsBeforeTheTool)
{
    host.shellFailPrefixes = {"echo \"98="};
    write(1, 2, 3, 0);
    Replay r = replay();
    EXPECT_EQ(r.file, (Lines{"97=1"}));
    EXPECT_TRUE(r.toolRuns.empty());
    EXPECT_EQ(host.runs.back(), "echo \"98=2\" >> /var/datafile");  // radio stays down
    EXPECT_EQ(logLines().back(), "set pa 98 fail(chain0)");
    EXPECT_EQ(host.frames.size(), 1u);  // still answered
}

TEST_F(PaTest, ReadsComeBackAsThirtyTwoBitPatterns)
{
    host.defaultOutput["wl pavars"] = kPavarsBoth;
    deliver(makeRequest(CMD_READ_PA_PARAMS, 0, 0, 0, 0, 0));
    ASSERT_EQ(host.frames.size(), 1u);
    EXPECT_EQ(replyCode(host.frames[0]), CMD_READ_PA_PARAMS);
    EXPECT_EQ(replyValue(host.frames[0], kMsgOffValue1), 65164u);
    EXPECT_EQ(replyValue(host.frames[0], kMsgOffValue2), 418u);
    EXPECT_EQ(replyValue(host.frames[0], kMsgOffValue3), 0u);
    Lines lines = logLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "get field value pa2gw0a0 = 0xfe8c."), lines.end());
    EXPECT_EQ(lines.back(), "READcurrParam param[0] = 65164, param[1] = 418, param[2] = 0");
}

TEST_F(PaTest, ReadWithMissingNameOrUnknownChain)
{
    host.defaultOutput["wl pavars"] = "pa2gw0a1=0x10 pa2gw2a1=0x30\n";
    deliver(makeRequest(CMD_READ_PA_PARAMS, 0, 0, 0, 0, 1));
    EXPECT_EQ(replyValue(host.frames[0], kMsgOffValue1), 16u);
    EXPECT_EQ(replyValue(host.frames[0], kMsgOffValue2), 0u);
    EXPECT_EQ(replyValue(host.frames[0], kMsgOffValue3), 48u);
    log();

    deliver(makeRequest(CMD_READ_PA_PARAMS, 0, 0, 0, 0, 5));
    EXPECT_EQ(logLines(), (Lines{"--cmdType = 92", "wl pavars", "readcurrparam too many chain",
                                 "READcurrParam param[0] = 0, param[1] = 0, param[2] = 0"}));
    for (size_t off : {kMsgOffValue1, kMsgOffValue2, kMsgOffValue3})
        EXPECT_EQ(replyValue(host.frames[1], off), 0u);
}

TEST_F(PaTest, SaveRebuildsTheFileFromBothChains)
{
    host.defaultOutput["wl pavars"] = kPavarsBoth;
    deliver(makeRequest(CMD_SAVE_PA_PARAMS));
    Replay r = replay();
    EXPECT_EQ(r.file, (Lines{"ID=pci/2/0/", "97=fe8c", "98=1a2", "99=0", "113=ff00", "114=1b0", "115=fffe"}));
    ASSERT_EQ(r.toolRuns.size(), 1u);
    EXPECT_EQ(r.toolRuns[0], r.file);
    EXPECT_TRUE(host.runsStartingWith("wl up").empty());
    EXPECT_TRUE(host.runsStartingWith("wl down").empty());
    EXPECT_EQ(replyCode(host.frames.back()), CMD_SAVE_PA_PARAMS);
}

// A save must never hand the update tool values that are not the radio's.
TEST_F(PaTest, SaveThatCannotReadEveryCoefficientLeavesNvramAlone)
{
    struct {
        const char *name;
        std::string out;
        bool pipeFails;
        int chain;
    } cases[] = {
        {"missing chain 1 name", "pa2gw0a0=0x1 pa2gw1a0=0x2 pa2gw2a0=0x3 pa2gw0a1=0x4 pa2gw2a1=0x6\n", false, 1},
        {"missing chain 0 name", "pa2gw0a0=0x1 pa2gw2a0=0x3\n", false, 0},
        {"empty output", "", false, 0},
        {"pipe fails", "", true, 0},
        // Found, but no number behind the name: the value would be a stale 0.
        {"prefix without digits", "pa2gw0a0=0x pa2gw1a0=0x2 pa2gw2a0=0x3\n", false, 0},
        {"letters for digits", "pa2gw0a0=0x1 pa2gw1a0=0x2 pa2gw2a0=0x3\npa2gw0a1=0x4 pa2gw1a1=zz\npa2gw2a1=0x6\n",
         false, 1},
        {"text ends at the prefix", "pa2gw0a0=0x1 pa2gw1a0=0x2 pa2gw2a0=0x3 pa2gw0a1=0x4 pa2gw1a1=0x5 pa2gw2a1=0x",
         false, 1},
    };
    for (const auto &c : cases) {
        host.runs.clear();
        host.frames.clear();
        host.defaultOutput["wl pavars"] = c.out;
        host.pipeFails["wl pavars"] = c.pipeFails;
        log();
        deliver(makeRequest(CMD_SAVE_PA_PARAMS));
        EXPECT_TRUE(replay().toolRuns.empty()) << c.name;
        ASSERT_EQ(host.frames.size(), 1u) << c.name;
        EXPECT_EQ(replyCode(host.frames[0]), CMD_SAVE_PA_PARAMS);
        std::string want = "save pa params fail: chain " + std::to_string(c.chain) +
                           " coefficients not read in full, NVRAM left unchanged";
        EXPECT_EQ(logLines().back(), want) << c.name;
    }
}

// A read keeps the field reader's rule: a name without a number is found,
// and its value stays 0.
TEST_F(PaTest, ReadOfANameWithoutDigitsRepliesZeroForIt)
{
    host.defaultOutput["wl pavars"] = "pa2gw0a1=0x4 pa2gw1a1=zz\npa2gw2a1=0x6\n";
    deliver(makeRequest(CMD_READ_PA_PARAMS, 0, 0, 0, 0, 1));
    ASSERT_EQ(host.frames.size(), 1u);
    EXPECT_EQ(replyValue(host.frames[0], kMsgOffValue1), 4u);
    EXPECT_EQ(replyValue(host.frames[0], kMsgOffValue2), 0u);
    EXPECT_EQ(replyValue(host.frames[0], kMsgOffValue3), 6u);
    Lines lines = logLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "get field value pa2gw1a1 = 0x0."), lines.end());
    EXPECT_EQ(lines.back(), "READcurrParam param[0] = 4, param[1] = 0, param[2] = 6");
}

// A data-file line that the shell runs but cannot write (a full /var makes
// echo exit with 1) counts as failed: the update tool never sees the file.
TEST_F(PaTest, UnwrittenFileLineKeepsTheToolFromRunning)
{
    host.shellStatus = {{"echo \"98=", 1 << 8}};
    write(1, 2, 3, 0);
    EXPECT_TRUE(host.runsStartingWith("/bin/nvramUpdate").empty());
    EXPECT_EQ(logLines().back(), "set pa 98 fail(chain0)");
    EXPECT_EQ(host.frames.size(), 1u);

    // The save stops too, at the line or at a data file it could not start.
    host.defaultOutput["wl pavars"] = kPavarsBoth;
    host.shellStatus = {{"echo \"114=", 1 << 8}};
    deliver(makeRequest(CMD_SAVE_PA_PARAMS));
    EXPECT_TRUE(host.runsStartingWith("/bin/nvramUpdate").empty());
    host.shellStatus = {{"echo \"ID=", 1 << 8}};
    log();
    deliver(makeRequest(CMD_SAVE_PA_PARAMS));
    EXPECT_TRUE(host.runsStartingWith("/bin/nvramUpdate").empty());
    Lines lines = logLines();
    EXPECT_EQ(lines.back(), "save pa params fail: data file not started, NVRAM left unchanged");
    ASSERT_EQ(host.frames.size(), 3u);
    EXPECT_EQ(replyCode(host.frames[2]), CMD_SAVE_PA_PARAMS);

    // Other commands keep their rule: a command that runs and fails is done.
    host.runs.clear();
    host.shellStatus = {{"wl pavars", 1 << 8}, {"/bin/nvramUpdate", 127 << 8}};
    deliver(makeRequest(CMD_INIT_PA_DATAFILE));
    write(1, 2, 3, 0);
    EXPECT_EQ(host.runs.back(), "wl up");
}
