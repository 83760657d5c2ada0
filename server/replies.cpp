#include "server/replies.h"

#include <winsock2.h>
#include <windows.h>

#include "server/control_server.h"
#include "server/line_protocol.h"

namespace {

// Replies are sent on the main thread: a client that stops reading must not freeze the program.
// After this long without room for the rest, the reply fails and the connection gets no more.
constexpr DWORD REPLY_SEND_TIMEOUT_MS = 5000;

// Waits until the connection takes more bytes, at most until the deadline.
bool wait_writable(SOCKET socket, DWORD started)
{
    const DWORD waited = GetTickCount() - started;
    if (waited >= REPLY_SEND_TIMEOUT_MS) {
        return false;
    }
    const DWORD left = REPLY_SEND_TIMEOUT_MS - waited;
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(socket, &writable);
    timeval timeout = {static_cast<long>(left / 1000), static_cast<long>(left % 1000) * 1000};
    return select(0, nullptr, &writable, nullptr, &timeout) == 1;
}

}  // namespace

bool reply_heard(uint16_t addressee)
{
    return reply_socket(addressee) != INVALID_SOCKET;
}

// Sends the whole reply on the (non-blocking) connection. A connection that fails, or whose client
// stops reading for the send time-out, gets no more replies; the worker still receives and hands
// over whatever the client sent.
void send_reply(uint16_t addressee, const char* text)
{
    const SOCKET socket = reply_socket(addressee);
    if (socket == INVALID_SOCKET) {
        return;
    }
    char reply[REPLY_BUFFER_SIZE];
    const size_t length = compose_reply(text, reply, sizeof reply);
    const DWORD started = GetTickCount();
    size_t sent = 0;
    while (sent < length) {
        const int result = send(socket, reply + sent, static_cast<int>(length - sent), 0);
        if (result > 0) {
            sent += static_cast<size_t>(result);
            continue;
        }
        if (result == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK && wait_writable(socket, started)) {
            continue;
        }
        stop_replies(socket);
        return;
    }
}
