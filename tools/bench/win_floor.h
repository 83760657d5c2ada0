#pragma once
// What the two Windows floor servers share: Windows Sockets 2.2 from ws2_32 as the product starts
// it, a listener on 127.0.0.1 (port 0 takes a free one, printed as "port=N"), and the reply
// "pause!" to every line ended by LF.
#include <winsock2.h>

#include <cstdio>
#include <cstdlib>

namespace win_floor {

constexpr char REPLY[] = "pause!";
constexpr int LISTEN_BACKLOG = 5;
constexpr long DEFAULT_LIFETIME_S = 600;
// The product's receive buffer for its connection.
constexpr int RECEIVE_BUFFER_BYTES = 64 * 1024;

// Sends all of data; false when the connection failed. On a non-blocking connection it waits
// for room whenever the connection has none.
inline bool send_all(SOCKET socket, const char* data, int size, bool non_blocking = false)
{
    while (size > 0) {
        const int n = send(socket, data, size, 0);
        if (n == SOCKET_ERROR && non_blocking && WSAGetLastError() == WSAEWOULDBLOCK) {
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(socket, &writable);
            select(0, nullptr, &writable, nullptr, nullptr);
            continue;
        }
        if (n == SOCKET_ERROR || n == 0) {
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

// Parses "PROGRAM PORT [LIFETIME_S]"; false (after a usage line) when they are wrong.
inline bool parse_arguments(int argc, char** argv, const char* usage, long* port, long* lifetime_s)
{
    char* end = nullptr;
    *lifetime_s = DEFAULT_LIFETIME_S;
    if (argc >= 2) {
        *port = std::strtol(argv[1], &end, 10);
    }
    if (argc < 2 || argc > 3 || *end != '\0' || *port < 0 || *port > 65535 ||
        (argc == 3 && ((*lifetime_s = std::strtol(argv[2], &end, 10)) <= 0 || *end != '\0'))) {
        std::fprintf(stderr, "usage: %s PORT [LIFETIME_S]\n", usage);
        return false;
    }
    return true;
}

// Starts Winsock 2.2 and listens; prints the port. INVALID_SOCKET (after a message) on failure.
inline SOCKET start_listening(long port)
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        std::fprintf(stderr, "WSAStartup failed\n");
        return INVALID_SOCKET;
    }
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(port));
    int size = sizeof address;
    if (listener == INVALID_SOCKET || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, LISTEN_BACKLOG) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1:%ld (error %d)\n", port, WSAGetLastError());
        return INVALID_SOCKET;
    }
    std::printf("port=%d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    return listener;
}

// A connection set up as the product sets up its own: its receive buffer, and (with an event)
// non-blocking, the event signalled when there is something to read or the client has ended.
inline void set_up_connection(SOCKET socket, HANDLE event)
{
    const int receive_buffer = RECEIVE_BUFFER_BYTES;
    setsockopt(socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receive_buffer), sizeof receive_buffer);
    if (event != nullptr) {
        WSAEventSelect(socket, event, FD_READ | FD_CLOSE);
    }
}

// Ends the process after the lifetime, whatever it is doing: a benchmark left behind goes.
inline DWORD WINAPI end_after(LPVOID seconds)
{
    Sleep(static_cast<DWORD>(reinterpret_cast<uintptr_t>(seconds)) * 1000);
    ExitProcess(0);
}

inline void limit_lifetime(long seconds)
{
    CreateThread(nullptr, 0, end_after, reinterpret_cast<LPVOID>(static_cast<uintptr_t>(seconds)), 0, nullptr);
}

}  // namespace win_floor
