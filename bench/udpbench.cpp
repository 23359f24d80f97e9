// udpbench: the measuring end of the benchmarks, on ordinary UDP sockets.
//
//   udpbench echo PORT
//       answer every datagram to its sender (the floor for reply latency)
//   udpbench rtt ADDR PORT LISTEN COUNT HEX [HEX...]
//       send COUNT requests one at a time to ADDR:PORT from a socket bound to
//       0.0.0.0:LISTEN, cycling through the payloads, and time each until a
//       datagram comes back on LISTEN; prints median, p99 and mean in us
//   udpbench flood ADDR PORT LISTEN RATE COUNT HEX
//       send COUNT requests paced at RATE per second while counting the
//       replies; prints sent, received and the achieved rate
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

static std::vector<uint8_t> fromHex(const char *hex)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        out.push_back((uint8_t)strtoul(std::string(hex + i, 2).c_str(), nullptr, 16));
    return out;
}

static int boundSocket(int port)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof(one));
    int big = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, (sockaddr *)&a, sizeof(a)) != 0) {
        perror("bind");
        exit(3);
    }
    return fd;
}

static sockaddr_in target(const char *addr, int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    inet_pton(AF_INET, addr, &a.sin_addr);
    return a;
}

static int echo(int port)
{
    int fd = boundSocket(port);
    uint8_t buf[2048];
    for (;;) {
        sockaddr_in from{};
        socklen_t fl = sizeof(from);
        ssize_t n = recvfrom(fd, buf, sizeof(buf), 0, (sockaddr *)&from, &fl);
        if (n > 0)
            sendto(fd, buf, (size_t)n, 0, (sockaddr *)&from, fl);
    }
}

static int rtt(int argc, char **argv)
{
    sockaddr_in to = target(argv[0], atoi(argv[1]));
    int fd = boundSocket(atoi(argv[2]));
    int count = atoi(argv[3]);
    std::vector<std::vector<uint8_t>> payloads;
    for (int i = 4; i < argc; i++)
        payloads.push_back(fromHex(argv[i]));
    timeval tv = {2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));

    std::vector<double> us;
    int lost = 0;
    uint8_t buf[2048];
    for (int i = 0; i < count; i++) {
        const auto &p = payloads[(size_t)i % payloads.size()];
        auto t0 = Clock::now();
        sendto(fd, p.data(), p.size(), 0, (sockaddr *)&to, sizeof(to));
        if (recv(fd, buf, sizeof(buf), 0) <= 0) {
            lost++;
            continue;
        }
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    if (us.empty()) {
        printf("median_us=nan p99_us=nan mean_us=nan lost=%d\n", lost);
        return 4;
    }
    std::sort(us.begin(), us.end());
    double sum = 0;
    for (double v : us)
        sum += v;
    printf("median_us=%.1f p99_us=%.1f mean_us=%.1f lost=%d\n", us[us.size() / 2], us[us.size() * 99 / 100],
           sum / (double)us.size(), lost);
    return 0;
}

static int flood(char **argv)
{
    sockaddr_in to = target(argv[0], atoi(argv[1]));
    int fd = boundSocket(atoi(argv[2]));
    double rate = atof(argv[3]);
    long count = atol(argv[4]);
    std::vector<uint8_t> p = fromHex(argv[5]);
    std::atomic<long> got{0};
    std::atomic<bool> done{false};

    std::thread rx([&] {
        uint8_t buf[2048];
        timeval tv = {0, 200000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        auto quietSince = Clock::now();
        for (;;) {
            if (recv(fd, buf, sizeof(buf), 0) > 0) {
                got++;
                quietSince = Clock::now();
            } else if (done && Clock::now() - quietSince > std::chrono::milliseconds(1000)) {
                break;
            }
        }
    });
    auto t0 = Clock::now();
    for (long i = 0; i < count; i++) {
        auto due = t0 + std::chrono::nanoseconds((long long)(1e9 * (double)i / rate));
        // Sleep rather than spin, so that the sender does not take the CPU
        // the agent needs; requests go out in small bursts at the set rate.
        auto now = Clock::now();
        if (due > now)
            std::this_thread::sleep_until(due);
        sendto(fd, p.data(), p.size(), 0, (sockaddr *)&to, sizeof(to));
    }
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    done = true;
    rx.join();
    printf("sent=%ld received=%ld lost=%ld send_rate=%.0f\n", count, got.load(), count - got.load(),
           (double)count / secs);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc >= 3 && !strcmp(argv[1], "echo"))
        return echo(atoi(argv[2]));
    if (argc >= 7 && !strcmp(argv[1], "rtt"))
        return rtt(argc - 2, argv + 2);
    if (argc >= 8 && !strcmp(argv[1], "flood"))
        return flood(argv + 2);
    fprintf(stderr, "usage: see the comment at the top of udpbench.cpp\n");
    return 2;
}
