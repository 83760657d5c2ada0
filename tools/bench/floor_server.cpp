// The floor of the benchmark: the least a loopback TCP server can do for the control protocol's
// request/reply pattern. It serves one client at a time on 127.0.0.1 and answers every line
// (ended by LF) with "pause!", one write per reply as the product does, so what it costs is the
// kernel's loopback path and nothing else.
//
//   floor_server PORT [LIFETIME_S]
//
// PORT 0 takes a free port. The port is printed as "port=N" once it accepts connections. The
// server ends by itself after LIFETIME_S seconds (default 600), whatever it is doing.

#include "send_all.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

constexpr long DEFAULT_LIFETIME_S = 600;
constexpr int LISTEN_BACKLOG = 5;
constexpr char REPLY[] = "pause!";
constexpr size_t READ_CHUNK = 64 * 1024;

int remaining_ms(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for fd to be readable; false when the deadline passed first.
bool wait_readable(int fd, Clock::time_point deadline)
{
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        const int ready = poll(&p, 1, remaining_ms(deadline));
        if (ready > 0) {
            return true;
        }
        if (ready == 0 || errno != EINTR) {
            return false;
        }
    }
}

// Answers the client's lines until it leaves, fails or the server's time is up.
void serve(int client, Clock::time_point deadline)
{
    const int one = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    static char chunk[READ_CHUNK];
    while (wait_readable(client, deadline)) {
        const ssize_t n = recv(client, chunk, sizeof chunk, 0);
        if (n <= 0) {
            return;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (chunk[i] == '\n' && !send_all(client, REPLY, sizeof REPLY - 1)) {
                return;
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    long port = -1;
    long lifetime_s = DEFAULT_LIFETIME_S;
    char* end = nullptr;
    if (argc >= 2) {
        port = std::strtol(argv[1], &end, 10);
    }
    if (argc < 2 || argc > 3 || *end != '\0' || port < 0 || port > 65535 ||
        (argc == 3 && ((lifetime_s = std::strtol(argv[2], &end, 10)) <= 0 || *end != '\0'))) {
        std::fprintf(stderr, "usage: floor_server PORT [LIFETIME_S]\n");
        return 2;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(lifetime_s);

    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t size = sizeof address;
    if (listener < 0 || setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, LISTEN_BACKLOG) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        std::fprintf(stderr, "floor_server: cannot listen on 127.0.0.1:%ld: %s\n", port, std::strerror(errno));
        return 1;
    }
    std::printf("port=%d\n", ntohs(address.sin_port));
    std::fflush(stdout);

    while (wait_readable(listener, deadline)) {
        const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            continue;
        }
        serve(client, deadline);
        close(client);
    }
    close(listener);
    return 0;
}
