// Reply frames: 66-byte broadcast Ethernet/IPv4/UDP frames built by hand and
// sent raw on the capture handle.
#pragma once

#include <cstddef>
#include <cstdint>

#include "proto/testmsg.h"

// Sends one finished frame; the single place that calls pcap_sendpacket.
// Returns 0 when sent, -1 otherwise.  Tests replace it to see every frame.
extern int (*gSendFrame)(const uint8_t *frame, size_t len);

uint16_t ipChecksum(const uint8_t *header, int length);

// The short reply: byte into byteArg, value into value1, half into payload
// bytes 16-17.
int sendTestReply(int code, uint8_t byte, uint32_t value, uint16_t half);

// The parameter reply: three 32-bit values into value1..value3.
int sendTestParamReply(int code, uint32_t first, uint32_t second, uint32_t third);
