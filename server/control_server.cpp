#include "server/control_server.h"

#include <mstcpip.h>

#include <atomic>

#include "common/messages.h"
#include "server/command_flow.h"
#include "server/reply_queue.h"

namespace {

// Who writes, reads and closes what (docs/design.md, "Who owns what"):
// - listen_socket: the main thread writes it only while no worker runs; the worker accepts on it.
std::atomic<SOCKET> listen_socket{INVALID_SOCKET};
// - client_socket: the worker sets it after accept; the main thread replies on it. Whoever takes
//   it out (take_client) closes it, once: the worker when it is done with it, the main thread
//   after a stop should the worker not have got to it.
std::atomic<SOCKET> client_socket{INVALID_SOCKET};
// - client_generation: the worker numbers each connection, before it sets client_socket; the main
//   thread matches commands against it. 0 is never a connection's.
std::atomic<uint16_t> client_generation{0};
// - client_token: the worker draws it for each connection, before it sets client_socket; the
//   hand-over of that connection carries it, so that no other program can end the hand-over.
std::atomic<uint32_t> client_token{0};
// - worker_running: the main thread clears it to stop the worker.
std::atomic<bool> worker_running{false};
// - handing_over: the worker sets it while it waits for the main thread to let go of a connection.
std::atomic<bool> handing_over{false};
// Main thread only: the running worker, the window it posts to, and the event that lets it go on
// after a hand-over (made with each worker, closed once it has ended).
HANDLE worker_thread = nullptr;
HWND command_window = nullptr;
HANDLE connection_released = nullptr;

constexpr int LISTEN_BACKLOG = 5;
// Room in the system for a batch of a backlog's worth of commands, so that a client that writes it
// and closes without reading has handed all of it over when our first reply makes its system reset
// the connection. Small enough that a flood's leftovers in it are carried out in seconds.
constexpr int RECEIVE_BUFFER_BYTES = 64 * 1024;
constexpr DWORD ACCEPT_RETRY_PAUSE_MS = 100;
// A client that vanished without a word (out of the Wi-Fi, a pulled cable) would hold the one
// connection for ever. After this long without a byte the system probes it, every interval; a
// client that is there answers in its system, whatever the program does. XP gives up after 5
// unanswered probes, later Windows after 10, Linux (and so Wine) after 9: the connection ends
// 30 to 45 s after the client vanished, well within a minute.
constexpr ULONG KEEPALIVE_IDLE_MS = 15000;
constexpr ULONG KEEPALIVE_INTERVAL_MS = 3000;

// Closes the connection unless the other thread has taken it out of client_socket already.
void take_client(SOCKET client)
{
    if (client != INVALID_SOCKET && client_socket.compare_exchange_strong(client, INVALID_SOCKET)) {
        closesocket(client);
    }
}

// The worker is done receiving on a connection. The commands it posted may still be waiting in
// the main window's queue, and their replies belong to this client (who may only have closed its
// sending side): so the connection stays the current one, and the worker hands it over behind
// those commands and waits until the main thread has let go of it before accepting the next.
void end_connection(SOCKET socket, uint16_t generation, uint32_t token)
{
    handing_over.store(true);
    if (post_to_window(command_window, worker_running, WM_CONNECTION_ENDED, static_cast<WPARAM>(socket), token)) {
        wait_for_hand_over(socket, generation, connection_released, worker_running);
    }
    handing_over.store(false);
    // Let go by the main thread, or stopped: either way gone.
    take_client(socket);
}

// The connection is let go of: it gets no more replies, and it is closed.
void close_client(SOCKET client)
{
    if (client != INVALID_SOCKET && client == client_socket.load()) {
        // Forgotten before the generation can come round again.
        if (replies_stopped(client_generation.load())) {
            set_replies_stopped(0);
        }
    }
    take_client(client);
}

// A failed accept ends the worker when the listener is gone. A client that gave up while it
// waited in the backlog, or a passing shortage of resources or of the network, must not end the
// service: the worker tries again after a pause that a stop cuts short.
bool accept_may_succeed_again(int error)
{
    switch (error) {
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAENOTCONN:  // what Wine reports for a connection reset in the backlog
    case WSAEMFILE:
    case WSAENOBUFS:
    case WSAENETDOWN:
        rest_worker(ACCEPT_RETRY_PAUSE_MS);
        return true;
    default:
        return false;
    }
}

// The system probes an idle connection, so that a client that vanished ends it.
void probe_when_idle(SOCKET socket)
{
    tcp_keepalive times = {};
    times.onoff = 1;
    times.keepalivetime = KEEPALIVE_IDLE_MS;
    times.keepaliveinterval = KEEPALIVE_INTERVAL_MS;
    DWORD returned = 0;
    WSAIoctl(socket, SIO_KEEPALIVE_VALS, &times, sizeof times, nullptr, 0, &returned, nullptr, nullptr);
}

uint16_t next_generation()
{
    const uint16_t next = static_cast<uint16_t>(client_generation.load() + 1);
    return next == 0 ? 1 : next;
}

DWORD WINAPI connection_worker(LPVOID)
{
    const SOCKET listener = listen_socket.load();
    // What the last worker received and could not post comes before any new client's commands.
    if (!command_flow_ready() || !post_leftovers(worker_running)) {
        return 0;
    }
    while (worker_running.load()) {
        sockaddr_in peer = {};
        int peer_size = sizeof peer;
        const SOCKET socket = accept(listener, reinterpret_cast<sockaddr*>(&peer), &peer_size);
        if (socket == INVALID_SOCKET) {
            if (worker_running.load() && accept_may_succeed_again(WSAGetLastError())) {
                continue;
            }
            break;
        }
        const int receive_buffer = RECEIVE_BUFFER_BYTES;
        setsockopt(
            socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receive_buffer), sizeof receive_buffer);
        probe_when_idle(socket);
        // Non-blocking before the main thread can reply on it: a reply never waits for the client.
        // A connection that cannot be watched is let go before anyone replies on it.
        if (!watch_connection(socket)) {
            closesocket(socket);
            continue;
        }
        const uint16_t generation = next_generation();
        const uint32_t token = unguessable_number();
        client_generation.store(generation);
        client_token.store(token);
        set_replies_stopped(0);
        clear_reply_queue();
        client_socket.store(socket);
        // A client accepted while a stop closes the sockets: the stop clears the flag before it
        // looks at the client, so one of the two closes it.
        if (worker_running.load()) {
            serve_connection(socket, generation, worker_running);
        }
        if (!worker_running.load()) {
            take_client(socket);
            break;
        }
        end_connection(socket, generation, token);
    }
    return 0;
}

}  // namespace

void attach_server(HWND window)
{
    command_window = window;
}

SOCKET create_listener(int port)
{
    const SOCKET socket = ::socket(AF_INET, SOCK_STREAM, 0);
    if (socket == INVALID_SOCKET) {
        return INVALID_SOCKET;
    }
    // No other program may take the port over while it is ours (Windows lets one bind a port
    // already bound, with SO_REUSEADDR, unless the first said this).
    const BOOL exclusive = TRUE;
    setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<u_short>(port));
    if (bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == SOCKET_ERROR ||
        listen(socket, LISTEN_BACKLOG) == SOCKET_ERROR) {
        closesocket(socket);
        return INVALID_SOCKET;
    }
    return socket;
}

void start_worker()
{
    connection_released = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    open_command_flow(command_window);
    worker_running.store(true);
    worker_thread = CreateThread(nullptr, 0, connection_worker, nullptr, 0, nullptr);
}

void stop_worker()
{
    // The flag first: a client the worker accepts from now on is let go at once (see the worker).
    worker_running.store(false);
    const SOCKET listener = listen_socket.exchange(INVALID_SOCKET);
    if (listener != INVALID_SOCKET) {
        closesocket(listener);
    }
    if (worker_thread != nullptr) {
        // Ends whatever the worker waits for: a mark, the socket, or the hand-over. It never
        // blocks on the connection, which it closes on its way out.
        wake_command_flow();
        SetEvent(connection_released);
        WaitForSingleObject(worker_thread, INFINITE);
        CloseHandle(worker_thread);
        worker_thread = nullptr;
    }
    close_client(client_socket.load());
    close_command_flow();
    if (connection_released != nullptr) {
        CloseHandle(connection_released);
        connection_released = nullptr;
    }
}

bool restart_listener(int port)
{
    // The new listener first: when it cannot be made, the old one (if any) goes on serving.
    const SOCKET listener = create_listener(port);
    if (listener == INVALID_SOCKET) {
        return false;
    }
    stop_worker();
    listen_socket.store(listener);
    start_worker();
    return true;
}

bool listening()
{
    return listen_socket.load() != INVALID_SOCKET;
}

bool client_connected()
{
    return client_socket.load() != INVALID_SOCKET;
}

bool worker_ended(DWORD wait_ms)
{
    return worker_thread == nullptr || WaitForSingleObject(worker_thread, wait_ms) == WAIT_OBJECT_0;
}

SOCKET reply_socket(uint16_t addressee)
{
    // The socket first: the worker numbers a connection before it makes it the current one.
    const SOCKET client = client_socket.load();
    const uint16_t generation = client_generation.load();
    if (client == INVALID_SOCKET || (addressee != REPLY_TO_CURRENT && addressee != generation) ||
        replies_stopped(generation)) {
        return INVALID_SOCKET;
    }
    return client;
}

void stop_replies(SOCKET client)
{
    if (client == INVALID_SOCKET || client != client_socket.load()) {
        return;
    }
    // The worker ends its sending side once the replies already waiting have gone out.
    set_replies_stopped(client_generation.load());
    wake_command_flow();
}

void on_connection_ended(WPARAM wparam, LPARAM lparam)
{
    const SOCKET socket = static_cast<SOCKET>(wparam);
    // Only the hand-over the worker is waiting for.
    if (!handing_over.load() || socket == INVALID_SOCKET || socket != client_socket.load() ||
        lparam != static_cast<LPARAM>(client_token.load())) {
        return;
    }
    // No reply goes to it any more; the worker sends what waits and closes it.
    set_replies_stopped(client_generation.load());
    SetEvent(connection_released);
}
