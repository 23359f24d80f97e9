// Request frames: recognising a test frame, logging its code and calling the
// handler of that code.
#pragma once

#include <cstddef>
#include <cstdint>

#include <pcap/pcap.h>

// A request as the dispatcher decodes it from the payload.
struct TestReq {
    uint8_t cmdType;
    uint8_t byteArg;
    uint32_t value1;
    uint32_t value2;
    uint32_t value3;
    uint8_t chain;
};

// The libpcap callback: hands the captured bytes to handleTestFrame.
void handleTestPacket(u_char *user, const struct pcap_pkthdr *header, const u_char *bytes);

// Handles one captured frame of caplen bytes.  Nothing beyond caplen is read:
// a frame too short for the fields its command reads is dropped silently, as
// one with a wrong magic is.
void handleTestFrame(const uint8_t *frame, size_t caplen);

// The name of a command code ("CMD_SET_TX"), or nullptr for a code without one.
const char *cmdName(uint8_t code);
