// The capture side: the live capture on the default device, the filter and
// the packet loop that feeds every frame to the dispatcher.
#pragma once

#include <pcap/pcap.h>

// The capture handle; opened once by recvTestMsg, replies are sent on it.
extern pcap_t *device;

// Runs the capture until libpcap ends the loop.  Ends the process with
// status 1 when no device can be found or opened.
void recvTestMsg(void);
