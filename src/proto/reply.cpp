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

void buildReplyFrame(uint8_t frame[kReplyFrameLen], int code)
{
    uint8_t *eth = frame;
    uint8_t *ip = frame + 14;
    uint8_t *udp = frame + 34;
    uint8_t *msg = frame + kFramePayloadOff;

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

    memset(msg, 0, kReplyPayloadLen);
    memcpy(msg + kMsgOffMagic, kTestMagic, sizeof(kTestMagic));
    msg[kMsgOffCmd] = (uint8_t)code;
}

int sendTestReply(int code, uint8_t byte, uint32_t value, uint16_t half)
{
    uint8_t frame[kReplyFrameLen];
    uint8_t *msg = frame + kFramePayloadOff;

    buildReplyFrame(frame, code);
    msg[kMsgOffByte] = byte;
    putBe32(msg + kMsgOffValue1, value);
    putBe16(msg + kMsgOffValue2, half);
    return gSendFrame(frame, sizeof(frame)) == 0 ? 0 : -1;
}

int sendTestParamReply(int code, uint32_t first, uint32_t second, uint32_t third)
{
    uint8_t frame[kReplyFrameLen];
    uint8_t *msg = frame + kFramePayloadOff;

    buildReplyFrame(frame, code);
    putBe32(msg + kMsgOffValue1, first);
    putBe32(msg + kMsgOffValue2, second);
    putBe32(msg + kMsgOffValue3, third);
    return gSendFrame(frame, sizeof(frame)) == 0 ? 0 : -1;
}
