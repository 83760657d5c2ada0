// The benchmark's one client: every figure that needs a socket is taken by this program, so the
// product, the floor server and MPD are all measured by the same code.
//
//   bench_client roundtrip HOST PORT N TERMINATOR [--greeting] [--warmup W] [--request TEXT]
//       W unmeasured, then N measured sequential requests on one connection; each waits for the
//       reply's TERMINATOR ("!" or "OK\n"; \n is understood). --greeting reads one line first.
//   bench_client pipelined HOST PORT N [--deadline SECONDS]
//       N "status\n" lines written at once by one thread while another counts the "!" replies.
//   bench_client startup HOST PORT TIMEOUT_MS [--env NAME=VALUE]... [--log FILE] -- COMMAND ARGS...
//       Starts COMMAND, measures until PORT accepts a connection, then ends COMMAND again.
//       COMMAND's output goes to FILE (appended), else nowhere.
//   bench_client wait-port HOST PORT TIMEOUT_MS
//   bench_client free-port
//
// Results go to stdout as one "key=value ..." line; failures to stderr with exit code 1.
// Every wait has a deadline, so the program always ends by itself.

#include "send_all.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int REPLY_TIMEOUT_MS = 20000;
constexpr int CONNECT_POLL_MS = 2;
constexpr int DEFAULT_WARMUP = 200;
constexpr int DEFAULT_PIPELINE_DEADLINE_S = 300;
// The reader gives up when nothing arrives for this long, even before the overall deadline.
constexpr int PIPELINE_STALL_MS = 60000;
constexpr int STOP_GRACE_MS = 10000;
constexpr size_t READ_CHUNK = 64 * 1024;

double micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

double millis(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

int remaining_ms(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool parse_int(const char* text, long low, long high, long* out)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) {
        return false;
    }
    *out = value;
    return true;
}

// "\n" and "\r" in a terminator given on the command line stand for the control characters.
std::string unescape(const char* text)
{
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        if (p[0] == '\\' && p[1] == 'n') {
            out += '\n';
            ++p;
        } else if (p[0] == '\\' && p[1] == 'r') {
            out += '\r';
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

// A connected socket, or -1 when the connection is refused (no message then: callers poll).
int try_connect(const char* host, int port)
{
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host, &address.sin_addr) != 1) {
        return -1;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    // Each request is one small write that must leave at once, not wait for the previous ACK.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

int connect_or_fail(const char* host, int port)
{
    const int fd = try_connect(host, port);
    if (fd < 0) {
        std::fprintf(stderr, "bench_client: cannot connect to %s:%d: %s\n", host, port, std::strerror(errno));
    }
    return fd;
}

// Reads into buffer until it ends with terminator. False on timeout, end of stream, an error, or
// bytes after the terminator (a reply that was not asked for breaks the request/reply pairing).
bool read_reply(int fd, const std::string& terminator, std::string* buffer)
{
    buffer->clear();
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(REPLY_TIMEOUT_MS);
    char chunk[4096];
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        const int ready = poll(&p, 1, remaining_ms(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            std::fprintf(stderr, "bench_client: no complete reply within %d ms (have \"%s\")\n", REPLY_TIMEOUT_MS,
                buffer->c_str());
            return false;
        }
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            std::fprintf(stderr, "bench_client: connection ended while waiting for a reply\n");
            return false;
        }
        const size_t searched_from = buffer->size() >= terminator.size() ? buffer->size() - terminator.size() + 1 : 0;
        buffer->append(chunk, static_cast<size_t>(n));
        const size_t at = buffer->find(terminator, searched_from);
        if (at != std::string::npos) {
            if (at + terminator.size() != buffer->size()) {
                std::fprintf(stderr, "bench_client: bytes after the reply's end: \"%s\"\n", buffer->c_str());
                return false;
            }
            return true;
        }
    }
}

// Nearest-rank percentile of sorted values.
double percentile(const std::vector<double>& sorted, double fraction)
{
    size_t rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
    rank = std::max<size_t>(rank, 1);
    return sorted[std::min(rank, sorted.size()) - 1];
}

int run_roundtrip(int argc, char** argv)
{
    long port = 0;
    long count = 0;
    if (argc < 6 || !parse_int(argv[3], 1, 65535, &port) || !parse_int(argv[4], 1, 10000000, &count)) {
        std::fprintf(stderr,
            "usage: bench_client roundtrip HOST PORT N TERMINATOR [--greeting] [--warmup W] "
            "[--request TEXT]\n");
        return 2;
    }
    const char* host = argv[2];
    const std::string terminator = unescape(argv[5]);
    bool greeting = false;
    long warmup = DEFAULT_WARMUP;
    std::string request = "status\n";
    for (int i = 6; i < argc; ++i) {
        if (std::strcmp(argv[i], "--greeting") == 0) {
            greeting = true;
        } else if (std::strcmp(argv[i], "--warmup") == 0 && i + 1 < argc &&
            parse_int(argv[i + 1], 0, 1000000, &warmup)) {
            ++i;
        } else if (std::strcmp(argv[i], "--request") == 0 && i + 1 < argc) {
            request = unescape(argv[++i]);
        } else {
            std::fprintf(stderr, "bench_client: unknown option %s\n", argv[i]);
            return 2;
        }
    }
    if (terminator.empty()) {
        std::fprintf(stderr, "bench_client: the terminator must not be empty\n");
        return 2;
    }

    const int fd = connect_or_fail(host, static_cast<int>(port));
    if (fd < 0) {
        return 1;
    }
    std::string reply;
    if (greeting && !read_reply(fd, "\n", &reply)) {
        close(fd);
        return 1;
    }
    std::string first_reply;
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(count));
    for (long i = 0; i < warmup + count; ++i) {
        const Clock::time_point start = Clock::now();
        if (!send_all(fd, request.data(), request.size()) || !read_reply(fd, terminator, &reply)) {
            std::fprintf(stderr, "bench_client: request %ld of %ld failed\n", i + 1, warmup + count);
            close(fd);
            return 1;
        }
        const Clock::time_point end = Clock::now();
        if (i == 0) {
            first_reply = reply;
        }
        if (i >= warmup) {
            samples.push_back(micros(end - start));
        }
    }
    close(fd);

    double sum = 0;
    for (double s : samples) {
        sum += s;
    }
    std::sort(samples.begin(), samples.end());
    // The first reply's first line, to show what was measured (MPD's reply has many lines).
    std::string shown = first_reply.substr(0, first_reply.find('\n'));
    std::replace_if(
        shown.begin(), shown.end(), [](char c) { return c == ' ' || c < 0x20; }, '_');
    std::printf("n=%ld warmup=%ld p50_us=%.1f p90_us=%.1f p99_us=%.1f min_us=%.1f max_us=%.1f mean_us=%.1f "
                "reply=%s\n",
        count, warmup, percentile(samples, 0.50), percentile(samples, 0.90), percentile(samples, 0.99), samples.front(),
        samples.back(), sum / static_cast<double>(samples.size()), shown.c_str());
    return 0;
}

int run_pipelined(int argc, char** argv)
{
    long port = 0;
    long count = 0;
    long deadline_s = DEFAULT_PIPELINE_DEADLINE_S;
    if (argc < 5 || !parse_int(argv[3], 1, 65535, &port) || !parse_int(argv[4], 1, 100000000, &count)) {
        std::fprintf(stderr, "usage: bench_client pipelined HOST PORT N [--deadline SECONDS]\n");
        return 2;
    }
    for (int i = 5; i < argc; ++i) {
        if (std::strcmp(argv[i], "--deadline") == 0 && i + 1 < argc && parse_int(argv[i + 1], 1, 86400, &deadline_s)) {
            ++i;
        } else {
            std::fprintf(stderr, "bench_client: unknown option %s\n", argv[i]);
            return 2;
        }
    }
    const int fd = connect_or_fail(argv[2], static_cast<int>(port));
    if (fd < 0) {
        return 1;
    }

    static const char line[] = "status\n";
    std::string requests;
    requests.reserve(static_cast<size_t>(count) * (sizeof line - 1));
    for (long i = 0; i < count; ++i) {
        requests.append(line, sizeof line - 1);
    }

    // The writer only writes; the reader owns every other use of the socket, and reports how
    // far it got. The writer's result is read after both threads are joined.
    std::atomic<bool> write_ok{true};
    long replies = 0;
    long bytes = 0;
    bool ended = false;
    Clock::time_point last_reply;
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + std::chrono::seconds(deadline_s);

    std::thread writer([&] { write_ok.store(send_all(fd, requests.data(), requests.size())); });
    std::thread reader([&] {
        std::vector<char> chunk(READ_CHUNK);
        Clock::time_point last_progress = Clock::now();
        while (replies < count && Clock::now() < deadline) {
            const int wait = std::min(remaining_ms(deadline), 200);
            pollfd p = {fd, POLLIN, 0};
            const int ready = poll(&p, 1, wait);
            if (ready < 0 && errno != EINTR) {
                break;
            }
            if (ready <= 0) {
                if (Clock::now() - last_progress > std::chrono::milliseconds(PIPELINE_STALL_MS)) {
                    break;
                }
                continue;
            }
            const ssize_t n = recv(fd, chunk.data(), chunk.size(), 0);
            if (n <= 0) {
                ended = true;
                break;
            }
            last_progress = Clock::now();
            replies += std::count(chunk.data(), chunk.data() + n, '!');
            bytes += n;
            last_reply = last_progress;
        }
    });
    reader.join();
    // A writer still blocked (the server stopped reading) is released by the shutdown.
    shutdown(fd, SHUT_RDWR);
    writer.join();
    close(fd);

    const double seconds = replies > 0 ? std::chrono::duration<double>(last_reply - start).count() : 0.0;
    std::printf("n=%ld replies=%ld lost=%ld seconds=%.3f per_s=%.0f reply_bytes=%ld write_ok=%d ended=%d\n", count,
        replies, count - replies, seconds, seconds > 0 ? static_cast<double>(replies) / seconds : 0.0, bytes,
        write_ok.load() ? 1 : 0, ended ? 1 : 0);
    return 0;
}

int run_wait_port(int argc, char** argv)
{
    long port = 0;
    long timeout_ms = 0;
    if (argc != 5 || !parse_int(argv[3], 1, 65535, &port) || !parse_int(argv[4], 0, 3600000, &timeout_ms)) {
        std::fprintf(stderr, "usage: bench_client wait-port HOST PORT TIMEOUT_MS\n");
        return 2;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const int fd = try_connect(argv[2], static_cast<int>(port));
        if (fd >= 0) {
            close(fd);
            return 0;
        }
        if (Clock::now() >= deadline) {
            std::fprintf(stderr, "bench_client: %s:%ld did not accept within %ld ms\n", argv[2], port, timeout_ms);
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(CONNECT_POLL_MS));
    }
}

// Ends the measured program: SIGTERM, then SIGKILL after a grace period. Wine ends a Windows
// process on either; the program writes nothing at exit, so nothing is lost.
void stop_child(pid_t child)
{
    kill(child, SIGTERM);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(STOP_GRACE_MS);
    while (Clock::now() < deadline) {
        if (waitpid(child, nullptr, WNOHANG) == child) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

int run_startup(int argc, char** argv)
{
    long port = 0;
    long timeout_ms = 0;
    int command_at = 0;
    for (int i = 5; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) {
            command_at = i + 1;
            break;
        }
    }
    if (argc < 7 || !parse_int(argv[3], 1, 65535, &port) || !parse_int(argv[4], 1, 3600000, &timeout_ms) ||
        command_at == 0 || command_at >= argc) {
        std::fprintf(stderr,
            "usage: bench_client startup HOST PORT TIMEOUT_MS [--env NAME=VALUE]... [--log FILE] "
            "-- COMMAND ARGS...\n");
        return 2;
    }
    const char* log = "/dev/null";
    for (int i = 5; i < command_at - 1; ++i) {
        if (std::strcmp(argv[i], "--env") == 0 && i + 1 < command_at - 1 && std::strchr(argv[i + 1], '=') != nullptr) {
            putenv(argv[++i]);
        } else if (std::strcmp(argv[i], "--log") == 0 && i + 1 < command_at - 1) {
            log = argv[++i];
        } else {
            std::fprintf(stderr, "bench_client: unknown option %s\n", argv[i]);
            return 2;
        }
    }

    // The command's output must not mix with the figures on stdout.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log, O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t child = 0;
    const Clock::time_point start = Clock::now();
    const int spawned = posix_spawnp(&child, argv[command_at], &actions, nullptr, argv + command_at, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        std::fprintf(stderr, "bench_client: cannot start %s: %s\n", argv[command_at], std::strerror(spawned));
        return 1;
    }
    const Clock::time_point deadline = start + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const int fd = try_connect(argv[2], static_cast<int>(port));
        if (fd >= 0) {
            const Clock::time_point accepted = Clock::now();
            close(fd);
            std::printf("startup_ms=%.1f pid=%d\n", millis(accepted - start), static_cast<int>(child));
            std::fflush(stdout);
            stop_child(child);
            return 0;
        }
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
            std::fprintf(stderr, "bench_client: %s ended (status %d) before port %ld accepted\n", argv[command_at],
                status, port);
            return 1;
        }
        if (Clock::now() >= deadline) {
            std::fprintf(stderr, "bench_client: port %ld did not accept within %ld ms\n", port, timeout_ms);
            stop_child(child);
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(CONNECT_POLL_MS));
    }
}

// A port nobody listens on now, from the kernel's ephemeral range.
int run_free_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        std::fprintf(stderr, "bench_client: no free port: %s\n", std::strerror(errno));
        return 1;
    }
    std::printf("%d\n", ntohs(address.sin_port));
    close(fd);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* mode = argc > 1 ? argv[1] : "";
    if (std::strcmp(mode, "roundtrip") == 0) {
        return run_roundtrip(argc, argv);
    }
    if (std::strcmp(mode, "pipelined") == 0) {
        return run_pipelined(argc, argv);
    }
    if (std::strcmp(mode, "startup") == 0) {
        return run_startup(argc, argv);
    }
    if (std::strcmp(mode, "wait-port") == 0) {
        return run_wait_port(argc, argv);
    }
    if (std::strcmp(mode, "free-port") == 0) {
        return run_free_port();
    }
    std::fprintf(stderr, "usage: bench_client roundtrip|pipelined|startup|wait-port|free-port ...\n");
    return 2;
}
