// A scripted host for the agent's tests: replaces the shell, the pipe
// reader, the sleep and the frame sender, and records what the agent did.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <sys/types.h>

struct FakeHost {
    std::mutex mu;
    // Every command in the order it reached the host: "run: <cmd>" for the
    // shell, "read: <cmd>" for a pipe.
    std::vector<std::string> events;
    // Command lines passed to the shell (effect commands only).
    std::vector<std::string> runs;
    // Output to hand to a reader, per command, consumed in order; when a
    // command's queue is empty, defaultOutput[cmd] is used, else "".
    std::map<std::string, std::deque<std::string>> outputs;
    std::map<std::string, std::string> defaultOutput;
    // Commands whose pipe cannot be opened.
    std::map<std::string, bool> pipeFails;
    // Shell failures: a command whose text starts with one of these returns
    // -1 from the shell.
    std::vector<std::string> shellFailPrefixes;
    // Commands that run but end with this wait status (e.g. 1 << 8 for
    // "exited with 1"), by text prefix.
    std::vector<std::pair<std::string, int>> shellStatus;
    // Frames handed to the sender, and what the sender returns.
    std::vector<std::vector<uint8_t>> frames;
    int sendResult = 0;
    int sleeps = 0;
    // Microseconds each shell run takes (for the worker's tests).
    unsigned runDelayUs = 0;
    // Each shell run ends only once the worker's stop has replied (5 s at
    // most) and then records "ended: <cmd>", so that a test can see whether
    // the stop replied before it waited for the worker.
    bool runEndsAtStopReply = false;

    void install();
    static FakeHost *current;

    std::vector<std::string> runsStartingWith(const std::string &prefix);
    size_t countRuns(const std::string &cmd);
};

// Captures the agent's standard output for the length of a test.
class AgentTest : public ::testing::Test {
public:
    // GoogleTest prints its reports on standard output too: its printer
    // pauses the capture around each one, so that no report becomes part of
    // the log that the next comparison reads.
    static void pauseCapture();
    static void resumeCapture();

protected:
    FakeHost host;
    void SetUp() override;
    void TearDown() override;
    // Everything logged so far (and clears the capture).
    std::string log();
    // The log split into lines without their CR LF.
    std::vector<std::string> logLines();

private:
    bool capturing = false;
    std::string captured;
};

// A request frame with the magic, the code and the fields, 67 bytes.
std::vector<uint8_t> makeRequest(uint8_t code, uint8_t byteArg = 0, uint32_t v1 = 0, uint32_t v2 = 0,
                                 uint32_t v3 = 0, uint8_t chain = 0);
// Runs one frame through the dispatcher with the agent's commands, from a
// buffer that ends exactly at caplen, so that AddressSanitizer catches any
// read past it.  False when the command ended serving.
bool deliver(const std::vector<uint8_t> &frame, size_t caplen = SIZE_MAX);

// Reply frame fields.
uint8_t replyCode(const std::vector<uint8_t> &frame);
uint32_t replyValue(const std::vector<uint8_t> &frame, size_t payloadOffset);

// Whether a process no longer runs: gone, or killed and not yet reaped by
// whoever inherited it.
bool processGone(pid_t pid);

// A savefile in memory holding the frames, opened as a capture handle.
struct MemCapture {
    std::vector<uint8_t> file;
    FILE *fp = nullptr;
    pcap_t *p = nullptr;

    MemCapture(int linkType, int snaplen, const std::vector<std::vector<uint8_t>> &frames);
    ~MemCapture();
};
