// Messaging with the system management daemon (smd).
//
// On the router these calls come from the platform's messaging libraries.
// This is our own stand-in with the same calls and argument conventions: the
// handle is filled through its address by init, passed by value to send and
// closed through its address by cleanup.  Its transport is a Unix stream
// socket at kSmdSocketPath: a message goes out as the bytes it holds, and smd
// answers with a 32-bit status in native byte order.
#pragma once

#include <cstdint>

typedef int32_t CmsRet;
constexpr CmsRet CMSRET_SUCCESS = 0;
constexpr CmsRet CMSRET_INTERNAL_ERROR = 9002;
constexpr CmsRet CMSRET_DISCONNECTED = 9008;

// Ids of the processes that talk to smd.
constexpr uint32_t EID_SMD = 20;
constexpr uint32_t EID_RFPROBE = 503;

// cmsMem_alloc flags: ALLOC_ZEROIZE returns zero-filled memory.
constexpr uint32_t ALLOC_ZEROIZE = 1;

// Where smd listens.  The agent runs with a fixed root, so the path is fixed.
constexpr const char *kSmdSocketPath = "/var/run/smd_msg";
// A message is a header of seven 32-bit words, native byte order.
constexpr uint32_t kCmsMsgHeaderLen = 28;
// How long a send waits for smd's status before giving up, in milliseconds.
constexpr int kSmdReplyTimeoutMs = 2000;

CmsRet cmsMsg_init(uint32_t eid, void **msgHandle);
CmsRet cmsMsg_sendAndGetReply(void *msgHandle, const void *msg);
void cmsMsg_cleanup(void **msgHandle);
void *cmsMem_alloc(uint32_t size, uint32_t allocFlags);
void cmsMem_free(void *buf);
