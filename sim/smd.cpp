// Stand-in for the system management daemon (smd) of the router.
//
// Listens on the messaging socket, takes every message as its 28-byte header
// of seven 32-bit words in native byte order (message id, sender, receiver,
// flag word, 0, data word, 0), prints each one decoded and answers with a
// 32-bit status in native byte order (0 unless --status says otherwise).
//
//   smd [--socket PATH] [--status N]
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/cms_msg.h"

namespace {

struct Client {
    int fd;
    unsigned char buf[kCmsMsgHeaderLen];
    size_t have;
};

void printMsg(const unsigned char *m, int32_t status) {
    uint32_t w[7];
    memcpy(w, m, sizeof w);
    printf("smd: msg id 0x%08" PRIX32 " sender %" PRIu32 " receiver %" PRIu32 " flags 0x%08" PRIX32
           " data %" PRIu32 " (words 4,6: %" PRIu32 ",%" PRIu32 ") -> status %" PRId32 "\n",
           w[0], w[1], w[2], w[3], w[5], w[4], w[6], status);
}

}  // namespace

int main(int argc, char **argv) {
    const char *sockPath = kSmdSocketPath;
    int32_t status = CMSRET_SUCCESS;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--socket") && i + 1 < argc) sockPath = argv[++i];
        else if (!strcmp(argv[i], "--status") && i + 1 < argc) status = (int32_t)strtol(argv[++i], nullptr, 0);
        else {
            fprintf(stderr, "usage: smd [--socket PATH] [--status N]\n");
            return 2;
        }
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);

    int lfd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (lfd < 0 || strlen(sockPath) >= sizeof addr.sun_path) {
        fprintf(stderr, "smd: bad socket path %s\n", sockPath);
        return 1;
    }
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sockPath);
    unlink(sockPath);
    if (bind(lfd, (struct sockaddr *)&addr, sizeof addr) < 0 || listen(lfd, 8) < 0) {
        fprintf(stderr, "smd: cannot listen on %s: %s\n", sockPath, strerror(errno));
        return 1;
    }
    printf("smd: listening on %s\n", sockPath);

    std::vector<Client> clients;
    for (;;) {
        std::vector<struct pollfd> pfds;
        pfds.push_back({lfd, POLLIN, 0});
        for (const Client &c : clients) pfds.push_back({c.fd, POLLIN, 0});
        if (poll(pfds.data(), pfds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            perror("smd: poll");
            return 1;
        }
        if (pfds[0].revents & POLLIN) {
            int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                clients.push_back({fd, {}, 0});
                printf("smd: client connected\n");
            }
        }
        for (size_t i = clients.size(); i-- > 0;) {
            if (!(pfds[i + 1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            Client &c = clients[i];
            ssize_t n = read(c.fd, c.buf + c.have, sizeof c.buf - c.have);
            if (n <= 0) {
                if (c.have) printf("smd: client left with %zu bytes of a message\n", c.have);
                printf("smd: client disconnected\n");
                close(c.fd);
                clients.erase(clients.begin() + i);
                continue;
            }
            c.have += (size_t)n;
            if (c.have < sizeof c.buf) continue;
            printMsg(c.buf, status);
            c.have = 0;
            if (write(c.fd, &status, sizeof status) != (ssize_t)sizeof status)
                printf("smd: could not answer: %s\n", strerror(errno));
        }
    }
}
