#include "proto/capture.h"

#include <cstdio>

#include "proto/filter.h"
#include "proto/reply.h"
#include "util/log.h"

pcap_t *device = nullptr;

static int pcapSendFrame(const uint8_t *frame, size_t len)
{
    return pcap_sendpacket(device, frame, (int)len);
}

int (*gSendFrame)(const uint8_t *frame, size_t len) = pcapSendFrame;

// Requests are read up to their 67th byte.  The kernel's capture ring holds
// one slot of about the snapshot length per frame: with 65535 a 2 MiB ring
// held 31 frames, and requests that arrived while a handler ran its shell
// commands were dropped.  256 bytes a slot in a 256 KiB ring keeps about 780
// frames waiting, in an eighth of the memory.
constexpr int kCaptureSnaplen = 256;
constexpr int kCaptureRingBytes = 256 * 1024;

// Opens the capture as a promiscuous live open with no read timeout, in
// immediate mode: without it libpcap on Linux holds frames until a whole
// buffer block fills, and a station that sends one request at a time would
// wait for ever.
// *status gets pcap_activate's result, or PCAP_ERROR when none was made.
static pcap_t *openCapture(const char *dev, char *errbuf, int *status)
{
    *status = PCAP_ERROR;
    pcap_t *p = pcap_create(dev, errbuf);
    if (p == nullptr)
        return nullptr;
    pcap_set_snaplen(p, kCaptureSnaplen);
    pcap_set_promisc(p, 1);
    pcap_set_timeout(p, 0);
    pcap_set_immediate_mode(p, 1);
    pcap_set_buffer_size(p, kCaptureRingBytes);
    int rc = pcap_activate(p);
    *status = rc;
    if (rc < 0) {
        snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s", pcap_geterr(p));
        pcap_close(p);
        return nullptr;
    }
    return p;
}

// What the packet loop hands each call of handleTestPacket.
struct Serving {
    pcap_t *p;
    const CmdTable *commands;
    bool finished;
};

// The packet callback: one frame to the dispatcher; a command that ends
// serving ends the loop before the next frame is read.
static void handleTestPacket(u_char *user, const struct pcap_pkthdr *header, const u_char *bytes)
{
    Serving *s = (Serving *)user;
    if (!handleTestFrame(*s->commands, bytes, header->caplen)) {
        s->finished = true;
        pcap_breakloop(s->p);
    }
}

ServeEnd serveTestFrames(pcap_t *p, const CmdTable &commands)
{
    Serving s = {p, &commands, false};
    pcap_loop(p, -1, handleTestPacket, (u_char *)&s);
    return s.finished ? kServeFinished : kServeLoopEnded;
}

// libpcap's pseudo-device of all interfaces.  Compared by hand: the firmware
// build takes no string compare from the C library for this one test.
static bool isAnyDevice(const char *dev)
{
    static const char kAny[] = "any";
    for (size_t i = 0; i < sizeof kAny; i++)
        if (dev[i] != kAny[i])
            return false;
    return true;
}

ServeEnd recvTestMsg(const CmdTable &commands)
{
    char errbuf[PCAP_ERRBUF_SIZE] = {0};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    char *dev = pcap_lookupdev(errbuf);
#pragma GCC diagnostic pop
    // These three end in \n before rfLog's CR LF: log parsers expect the empty line after each.
    if (dev == nullptr) {
        rfLog("error: %s\n", errbuf);
        return kServeNoDevice;
    }
    rfLog("success: device: %s\n", dev);
    // libpcap falls back to its pseudo-device when no interface is up: it
    // cannot send, so no request would ever get its reply.
    if (isAnyDevice(dev))
        rfLog("warning: no network interface is up: capturing on \"any\", which cannot send replies; "
              "bring the LAN interface up and restart the agent");

    int status;
    device = openCapture(dev, errbuf, &status);
    if (device == nullptr) {
        rfLog("error: pcap_open_live(): %s\n", errbuf);
        if (status == PCAP_ERROR_PERM_DENIED)
            rfLog("error: capturing needs root or the CAP_NET_RAW capability: "
                  "run the agent as root (or setcap cap_net_raw+ep on it)");
        return kServeNoDevice;
    }

    // A filter that cannot be installed leaves the capture unfiltered: the
    // magic test still picks out the test frames.
    installCaptureFilter(device);

    ServeEnd end = serveTestFrames(device, commands);
    pcap_close(device);
    return end;
}
