#include "proto/reply.h"

#include <arpa/inet.h>
#include <cstring>

uint16_t ipChecksum(const uint8_t *header, int length)
{
    uint32_t sum = 0;
    int i = 0;

    for (; i + 1 < length; i += 2)
        sum += getBe16(header + i);
    if (i < length)
        sum += (uint32_t)header[i] << 8;
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += sum >> 16;
    return (uint16_t)(~sum & 0xFFFF);
}

// Builds the whole frame around the reply's payload and sends it.
static int sendReplyFrame(const TestMsg &m)
{
    uint8_t frame[kReplyFrameLen];
    uint8_t *eth = frame;
    uint8_t *ip = frame + 14;
    uint8_t *udp = frame + 34;

    memset(eth, 0xFF, 6);
    memcpy(eth + 6, kReplySrcMac, 6);
    putBe16(eth + 12, 0x0800);

    memset(ip, 0, 20);
    ip[0] = 0x45;
    putBe16(ip + 2, 20 + 8 + kReplyPayloadLen);
    ip[8] = 64;
    ip[9] = 17;
    in_addr_t src = inet_addr(kReplySrcIp);  // already in network order
    memcpy(ip + 12, &src, 4);
    memset(ip + 16, 0xFF, 4);
    putBe16(ip + 10, ipChecksum(ip, 20));

    putBe16(udp, kTestReqPort);
    putBe16(udp + 2, kTestReplyPort);
    putBe16(udp + 4, 8 + kReplyPayloadLen);
    putBe16(udp + 6, 0);

    encodeTestMsg(m, frame + kFramePayloadOff, kReplyPayloadLen);
    return gSendFrame(frame, sizeof(frame)) == 0 ? 0 : -1;
}

int sendTestReply(int code, uint8_t byte, uint32_t value, uint16_t half)
{
    TestMsg m = {(uint8_t)code, byte, value, (uint32_t)half << 16, 0, 0};
    return sendReplyFrame(m);
}

int sendTestParamReply(int code, uint32_t first, uint32_t second, uint32_t third)
{
    TestMsg m = {(uint8_t)code, 0, first, second, third, 0};
    return sendReplyFrame(m);
}
