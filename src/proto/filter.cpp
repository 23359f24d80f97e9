#include "proto/filter.h"

const char *const kCaptureFilterText = "dst port 1060";

// pcap_compile(p, &prog, "dst port 1060", 1, 0) on an Ethernet capture with
// a 256-byte snapshot, libpcap 1.10.  A unit test compiles the text with the
// libpcap it is linked with and compares every instruction; when a libpcap
// makes a different program, that test prints the new table for this place.
static const struct bpf_insn kDstPort1060[] = {
    BPF_STMT(0x28, 12),             // ldh [12]            EtherType
    BPF_JUMP(0x15, 0x86dd, 0, 6),   // jeq #0x86dd         IPv6?
    BPF_STMT(0x30, 20),             // ldb [20]            next header
    BPF_JUMP(0x15, 0x84, 2, 0),     // jeq #0x84           SCTP
    BPF_JUMP(0x15, 0x06, 1, 0),     // jeq #0x6            TCP
    BPF_JUMP(0x15, 0x11, 0, 13),    // jeq #0x11           UDP
    BPF_STMT(0x28, 56),             // ldh [56]            destination port
    BPF_JUMP(0x15, 0x424, 10, 11),  // jeq #1060
    BPF_JUMP(0x15, 0x800, 0, 10),   // jeq #0x800          IPv4?
    BPF_STMT(0x30, 23),             // ldb [23]            protocol
    BPF_JUMP(0x15, 0x84, 2, 0),     // jeq #0x84           SCTP
    BPF_JUMP(0x15, 0x06, 1, 0),     // jeq #0x6            TCP
    BPF_JUMP(0x15, 0x11, 0, 6),     // jeq #0x11           UDP
    BPF_STMT(0x28, 20),             // ldh [20]            fragment offset
    BPF_JUMP(0x45, 0x1fff, 4, 0),   // jset #0x1fff        not the first fragment
    BPF_STMT(0xb1, 14),             // ldxb 4*([14]&0xf)   IPv4 header length
    BPF_STMT(0x48, 16),             // ldh [x + 16]        destination port
    BPF_JUMP(0x15, 0x424, 0, 1),    // jeq #1060
    BPF_STMT(0x06, 256),            // ret #256            accept: the snapshot length
    BPF_STMT(0x06, 0),              // ret #0              reject
};

// libpcap copies a program it installs and never writes to the caller's.
static const struct bpf_program kDstPort1060Prog = {sizeof(kDstPort1060) / sizeof(kDstPort1060[0]),
                                                    const_cast<struct bpf_insn *>(kDstPort1060)};

const struct bpf_program *precompiledCaptureFilter(int linkType, int snaplen)
{
    if (linkType != kPrecompiledLinkType || snaplen != kPrecompiledSnaplen)
        return nullptr;
    return &kDstPort1060Prog;
}

#ifdef RFPROBE_PRECOMPILED_FILTER
// No call reaches libpcap's filter compiler, so the linker leaves out its
// parser, code generator and optimiser: most of a static agent's size.
int installCaptureFilter(pcap_t *p)
{
    const struct bpf_program *prog = precompiledCaptureFilter(pcap_datalink(p), pcap_snapshot(p));
    if (prog == nullptr)
        return -1;
    return pcap_setfilter(p, const_cast<struct bpf_program *>(prog)) == 0 ? 0 : -1;
}
#else
int installCaptureFilter(pcap_t *p)
{
    struct bpf_program prog;
    if (pcap_compile(p, &prog, kCaptureFilterText, kPrecompiledOptimize, 0) != 0)
        return -1;
    int rc = pcap_setfilter(p, &prog);
    pcap_freecode(&prog);
    return rc == 0 ? 0 : -1;
}
#endif
