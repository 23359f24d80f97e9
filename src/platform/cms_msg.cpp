// Our stand-in for the router's messaging library.  The handle is the
// connected socket's descriptor plus one, so that a null handle means "no
// link" and nothing needs the heap.
#include "platform/cms_msg.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

static int handleToFd(void *h)
{
    return (int)(intptr_t)h - 1;
}

CmsRet cmsMsg_init(uint32_t, void **msgHandle)
{
    *msgHandle = nullptr;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return CMSRET_INTERNAL_ERROR;

    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, kSmdSocketPath, sizeof(addr.sun_path) - 1);
    // Nobody listening is not an error worth a message: the send at shutdown
    // then fails at once.
    if (connect(fd, (struct sockaddr *)&addr, sizeof(addr)) != 0) {
        close(fd);
        return CMSRET_DISCONNECTED;
    }
    struct timeval tv = {kSmdReplyTimeoutMs / 1000, (kSmdReplyTimeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    *msgHandle = (void *)(intptr_t)(fd + 1);
    return CMSRET_SUCCESS;
}

CmsRet cmsMsg_sendAndGetReply(void *msgHandle, const void *msg)
{
    if (msgHandle == nullptr)
        return CMSRET_DISCONNECTED;
    int fd = handleToFd(msgHandle);

    const char *p = (const char *)msg;
    size_t left = kCmsMsgHeaderLen;
    while (left > 0) {
        ssize_t n = send(fd, p, left, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return CMSRET_DISCONNECTED;
        p += n;
        left -= (size_t)n;
    }

    int32_t status = 0;
    char *q = (char *)&status;
    size_t want = sizeof(status);
    while (want > 0) {
        ssize_t n = recv(fd, q, want, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return CMSRET_DISCONNECTED;
        q += n;
        want -= (size_t)n;
    }
    return status;
}

void cmsMsg_cleanup(void **msgHandle)
{
    if (*msgHandle != nullptr)
        close(handleToFd(*msgHandle));
    *msgHandle = nullptr;
}

void *cmsMem_alloc(uint32_t size, uint32_t allocFlags)
{
    return (allocFlags & ALLOC_ZEROIZE) ? calloc(1, size) : malloc(size);
}

void cmsMem_free(void *buf)
{
    free(buf);
}
