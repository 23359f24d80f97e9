#include "proto/capture.h"

#include <cstdlib>

#include "proto/dispatch.h"
#include "proto/reply.h"
#include "proto/testmsg.h"
#include "util/log.h"

pcap_t *device = nullptr;

static int pcapSendFrame(const uint8_t *frame, size_t len)
{
    return pcap_sendpacket(device, frame, (int)len);
}

int (*gSendFrame)(const uint8_t *frame, size_t len) = pcapSendFrame;

// Opens the capture as a live open with snapshot 65535, promiscuous and no
// read timeout would, but in immediate mode: without it libpcap on Linux
// holds frames until a whole buffer block fills, and a station that sends
// one request at a time would wait for ever.
static pcap_t *openCapture(const char *dev, char *errbuf)
{
    pcap_t *p = pcap_create(dev, errbuf);
    if (p == nullptr)
        return nullptr;
    pcap_set_snaplen(p, 65535);
    pcap_set_promisc(p, 1);
    pcap_set_timeout(p, 0);
    pcap_set_immediate_mode(p, 1);
    int rc = pcap_activate(p);
    if (rc < 0) {
        snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s", pcap_geterr(p));
        pcap_close(p);
        return nullptr;
    }
    return p;
}

void recvTestMsg(void)
{
    char errbuf[PCAP_ERRBUF_SIZE] = {0};
    struct bpf_program filter;
    int user = 0;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    char *dev = pcap_lookupdev(errbuf);
#pragma GCC diagnostic pop
    if (dev == nullptr) {
        rfLog("error: %s\n", errbuf);
        exit(1);
    }
    rfLog("success: device: %s\n", dev);

    device = openCapture(dev, errbuf);
    if (device == nullptr) {
        rfLog("error: pcap_open_live(): %s\n", errbuf);
        exit(1);
    }

    // A filter that does not compile leaves the capture unfiltered: the magic
    // test still picks out the test frames.
    if (pcap_compile(device, &filter, "dst port 1060", 1, 0) == 0) {
        pcap_setfilter(device, &filter);
        pcap_freecode(&filter);
    }

    pcap_loop(device, -1, handleTestPacket, (u_char *)&user);
    pcap_close(device);
}
