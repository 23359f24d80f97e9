// The capture filter: the precompiled program against what libpcap's own
// compiler makes of the filter text, and what installing it does to a real
// capture handle (a savefile read from memory).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include "fake_host.h"
#include "proto/filter.h"

namespace {

std::string insnText(const bpf_insn &i)
{
    char buf[96];
    snprintf(buf, sizeof(buf), "{0x%02x, %u, %u, 0x%x}", (unsigned)i.code, (unsigned)i.jt, (unsigned)i.jf,
             (unsigned)i.k);
    return buf;
}

// The program libpcap's compiler makes of the filter text for the link type
// and snapshot length the precompiled one was made for.
std::vector<std::string> compiled(int linkType, int snaplen)
{
    std::vector<std::string> out;
    pcap_t *dead = pcap_open_dead(linkType, snaplen);
    struct bpf_program prog;
    if (dead == nullptr)
        return out;
    if (pcap_compile(dead, &prog, kCaptureFilterText, kPrecompiledOptimize, 0) == 0) {
        for (unsigned i = 0; i < prog.bf_len; i++)
            out.push_back(insnText(prog.bf_insns[i]));
        pcap_freecode(&prog);
    }
    pcap_close(dead);
    return out;
}

TEST(FilterTest, PrecompiledProgramIsWhatTheCompilerMakes)
{
    const bpf_program *pre = precompiledCaptureFilter(kPrecompiledLinkType, kPrecompiledSnaplen);
    ASSERT_NE(pre, nullptr);
    std::vector<std::string> have;
    for (unsigned i = 0; i < pre->bf_len; i++)
        have.push_back(insnText(pre->bf_insns[i]));
    std::vector<std::string> want = compiled(kPrecompiledLinkType, kPrecompiledSnaplen);
    ASSERT_FALSE(want.empty()) << "libpcap " << pcap_lib_version() << " did not compile the filter";
    std::string table;
    for (const auto &w : want)
        table += "    " + w + ",\n";
    EXPECT_EQ(have, want) << pcap_lib_version() << " compiles \"" << kCaptureFilterText << "\" to:\n" << table;
}

TEST(FilterTest, PrecompiledOnlyForTheCaptureItWasMadeFor)
{
    EXPECT_EQ(precompiledCaptureFilter(DLT_LINUX_SLL, kPrecompiledSnaplen), nullptr);
    EXPECT_EQ(precompiledCaptureFilter(DLT_RAW, kPrecompiledSnaplen), nullptr);
    EXPECT_EQ(precompiledCaptureFilter(kPrecompiledLinkType, 65535), nullptr);
    // The accept return is the snapshot length, so another one is another program.
    EXPECT_NE(compiled(kPrecompiledLinkType, 65535), compiled(kPrecompiledLinkType, kPrecompiledSnaplen));
}

// An Ethernet + IPv4 + UDP frame to the given port; ihl in 32-bit words.
std::vector<uint8_t> udpFrame(uint16_t dport, int ihl = 5, uint16_t fragOff = 0)
{
    std::vector<uint8_t> f(14 + ihl * 4 + 8 + 25, 0);
    f[12] = 0x08;
    f[13] = 0x00;
    uint8_t *ip = &f[14];
    ip[0] = (uint8_t)(0x40 | ihl);
    ip[6] = (uint8_t)(fragOff >> 8);
    ip[7] = (uint8_t)fragOff;
    ip[9] = 17;
    uint8_t *udp = ip + ihl * 4;
    udp[2] = (uint8_t)(dport >> 8);
    udp[3] = (uint8_t)dport;
    return f;
}

// Destination ports of the frames that come through, in order.
std::vector<int> passed(MemCapture &cap)
{
    std::vector<int> ports;
    struct pcap_pkthdr *h;
    const u_char *data;
    while (pcap_next_ex(cap.p, &h, &data) == 1) {
        int ihl = (data[14] & 0x0f) * 4;
        ports.push_back(data[14 + ihl + 2] << 8 | data[14 + ihl + 3]);
    }
    return ports;
}

TEST(FilterTest, InstalledFilterPassesOnlyFramesToTheTestPort)
{
    MemCapture cap(DLT_EN10MB, kPrecompiledSnaplen,
                   {udpFrame(1060), udpFrame(1062), udpFrame(1060, 6), udpFrame(1060, 5, 0x0010), udpFrame(53)});
    ASSERT_NE(cap.p, nullptr);
    EXPECT_EQ(installCaptureFilter(cap.p), 0);
    // Options in the IPv4 header are skipped; a later fragment carries no port.
    EXPECT_EQ(passed(cap), (std::vector<int>{1060, 1060}));
}

TEST(FilterTest, CaptureTheProgramWasNotMadeFor)
{
    // A snapshot length the precompiled program does not return.
    MemCapture cap(DLT_EN10MB, 65535, {udpFrame(1060), udpFrame(1062)});
    ASSERT_NE(cap.p, nullptr);
#ifdef RFPROBE_PRECOMPILED_FILTER
    // No filter compiler in this build: the capture stays unfiltered and the
    // magic test alone picks out the test frames.
    EXPECT_EQ(installCaptureFilter(cap.p), -1);
    EXPECT_EQ(passed(cap), (std::vector<int>{1060, 1062}));
#else
    EXPECT_EQ(installCaptureFilter(cap.p), 0);
    EXPECT_EQ(passed(cap), (std::vector<int>{1060}));
#endif
}

}  // namespace
