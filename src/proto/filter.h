// The capture filter "dst port 1060": compiled by libpcap, or, in builds
// made without libpcap's filter compiler, installed as the program that
// libpcap's compiler makes of it.
#pragma once

#include <pcap/pcap.h>

extern const char *const kCaptureFilterText;

// What the precompiled program was made for: pcap_compile of the filter text
// with optimisation on, netmask 0, on an Ethernet capture of this snapshot
// length (its "accept" returns the snapshot length).
constexpr int kPrecompiledLinkType = DLT_EN10MB;
constexpr int kPrecompiledSnaplen = 256;
constexpr int kPrecompiledOptimize = 1;

// The precompiled program when it was made for this link type and snapshot
// length, otherwise nullptr.
const struct bpf_program *precompiledCaptureFilter(int linkType, int snaplen);

// Installs the filter on an activated capture.  With the precompiled program
// (RFPROBE_PRECOMPILED_FILTER builds) the filter compiler is never called;
// on a capture that program was not made for, such a build runs unfiltered.
// Returns 0 when a filter is installed, -1 when the capture stays unfiltered
// (the magic test still picks out the test frames).
int installCaptureFilter(pcap_t *p);
