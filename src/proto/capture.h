// The capture side: the live capture on the default device, the filter and
// the packet loop that feeds every frame to the dispatcher.
#pragma once

#include <pcap/pcap.h>

#include "proto/dispatch.h"

// The capture handle; opened once by recvTestMsg, replies are sent on it.
extern pcap_t *device;

// How serving ended.
enum ServeEnd {
    kServeLoopEnded,  // libpcap ended the loop (an error on the device)
    kServeFinished,   // a command ended serving (finish), after its reply
    kServeNoDevice,   // no capture device could be found or opened
};

// Opens the capture and serves its frames with the commands of the table.
ServeEnd recvTestMsg(const CmdTable &commands);

// Hands every frame of an open capture to the dispatcher until libpcap ends
// the loop or a command ends serving.
ServeEnd serveTestFrames(pcap_t *p, const CmdTable &commands);
