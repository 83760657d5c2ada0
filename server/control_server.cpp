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
//   it out (take_out) ends it, once: the worker after the hand-over, the main thread after a stop
//   (the worker leaves it to the stop, which parts from it: part_from).
std::atomic<SOCKET> client_socket{INVALID_SOCKET};
// - client_generation: the worker numbers each connection, before it sets client_socket; the main
//   thread matches commands against it. 0 is never a connection's.
std::atomic<uint16_t> client_generation{0};
// - client_token: the worker draws it for each connection, before it sets client_socket; the
//   hand-over of that connection carries it, so that no other program can end the hand-over.
std::atomic<uint32_t> client_token{0};
// - client_changes: odd while the socket and its generation are being changed, counted on after
//   each change. The main thread reads the pair between two equal, even counts, so that it never
//   takes an old socket with a new generation (or a new connection that reuses the old socket's
//   handle value with the old generation). Only one thread changes the pair at a time: the
//   worker while it runs, the main thread only once it has ended.
std::atomic<uint32_t> client_changes{0};
// - worker_running: the main thread clears it to stop the worker.
std::atomic<bool> worker_running{false};
// - handing_over: the worker sets it while it waits for the main thread to let go of a connection.
std::atomic<bool> handing_over{false};
// Main thread only: the running worker, the window it posts to, and the event that lets it go on
// after a hand-over (made with each worker, closed once it has ended).
HANDLE worker_thread = nullptr;
HWND command_window = nullptr;
HANDLE connection_released = nullptr;
// The connection a stop ended, with the event that watches it, and the thread that parts from it
// (part). The main thread sets the pair only while no such thread runs, and owns the thread's
// handle; the thread owns the socket and the event.
struct PartingConnection {
    SOCKET socket;
    HANDLE event;
};
PartingConnection parting = {INVALID_SOCKET, nullptr};
HANDLE parting_thread = nullptr;

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
// How long a client has to end its side of a connection the program ends (part): a client that
// reads answers the end within a round trip, and the exit waits no longer than this for it.
constexpr DWORD PARTING_MS = 500;

// Worker: the connection that replies go to from now on, with its generation.
void set_client(SOCKET socket, uint16_t generation)
{
    client_changes.fetch_add(1);
    client_generation.store(generation);
    client_socket.store(socket);
    client_changes.fetch_add(1);
}

// Takes the connection out of client_socket, unless the other thread has taken it already: true
// for the one that did, which then owns it.
bool take_out(SOCKET client)
{
    if (client == INVALID_SOCKET) {
        return false;
    }
    client_changes.fetch_add(1);
    const bool taken = client_socket.compare_exchange_strong(client, INVALID_SOCKET);
    client_changes.fetch_add(1);
    return taken;
}

// Closes the connection unless the other thread has taken it out of client_socket already.
void take_client(SOCKET client)
{
    if (take_out(client)) {
        closesocket(client);
    }
}

// The current connection and its generation, read as one: false (nothing) while the worker
// changes them, or when there is none.
bool current_client(SOCKET* client, uint16_t* generation)
{
    const uint32_t before = client_changes.load();
    *client = client_socket.load();
    *generation = client_generation.load();
    return (before & 1) == 0 && client_changes.load() == before && *client != INVALID_SOCKET;
}

// The worker is done receiving on a connection. The commands it posted may still be waiting in
// the main window's queue, and their replies belong to this client (who may only have closed its
// sending side): so the connection stays the current one, and the worker hands it over behind
// those commands and waits until the main thread has let go of it before accepting the next.
void end_connection(SOCKET socket, uint16_t generation, uint32_t token)
{
    handing_over.store(true);
    const bool let_go =
        post_to_window(command_window, worker_running, WM_CONNECTION_ENDED, static_cast<WPARAM>(socket), token) &&
        wait_for_hand_over(socket, generation, connection_released, worker_running);
    handing_over.store(false);
    // Let go by the main thread. The client has ended the connection (or reset it), so closing
    // now leaves nothing behind on this side. After a stop, the stop ends it (part_from).
    if (let_go) {
        take_client(socket);
    }
}

// What arrives on a connection that is being ended, read and dropped.
enum class Parting { open, client_ended, failed };

Parting drain(SOCKET socket)
{
    char dropped[1024];
    for (;;) {
        const int size = recv(socket, dropped, sizeof dropped, 0);
        if (size == 0) {
            return Parting::client_ended;
        }
        if (size < 0) {
            return WSAGetLastError() == WSAEWOULDBLOCK ? Parting::open : Parting::failed;
        }
    }
}

// Ends a connection that the program ends itself (a port change, the exit), from a thread of its
// own so that nobody waits for the client. The side that ends a connection first keeps it, after
// the end, in TIME_WAIT for minutes, and on Windows a listener bound with SO_EXCLUSIVEADDRUSE
// cannot bind its port again while a connection accepted on it is still active ("Using
// SO_REUSEADDR and SO_EXCLUSIVEADDRUSE"): a restart, or a port change back, would find the port
// taken by ourselves. So, as that page advises, the end is sent after what was sent before it,
// and the client is given a moment to end its side too. A client that ends its side after ours
// (telnet, PuTTY, nc: on reading our end) has read everything up to it, so an abortive close
// (SO_LINGER of 0) can cost it nothing, and keeps no TIME_WAIT here. A client that had ended its
// side before ours is the one that ended first: a plain close keeps nothing here. A client that
// neither reads nor ends within the moment keeps what it has: a plain close, which the system
// completes later.
DWORD WINAPI part(LPVOID)
{
    const SOCKET socket = parting.socket;
    Parting state = drain(socket);
    if (state == Parting::open) {
        shutdown(socket, SD_SEND);
        const DWORD began = GetTickCount();
        for (DWORD waited = 0; state == Parting::open && waited < PARTING_MS; waited = GetTickCount() - began) {
            WaitForSingleObject(parting.event, PARTING_MS - waited);
            state = drain(socket);
        }
        if (state == Parting::client_ended) {
            const linger at_once = {1, 0};
            setsockopt(socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&at_once), sizeof at_once);
        }
    }
    closesocket(socket);
    CloseHandle(parting.event);
    return 0;
}

// Main thread: ends a connection the program ends itself, once its worker has ended.
void part_from(SOCKET client)
{
    // One at a time: a connection ended while the last one is still being parted from is closed
    // the plain way.
    if (parting_thread != nullptr && WaitForSingleObject(parting_thread, 0) == WAIT_OBJECT_0) {
        CloseHandle(parting_thread);
        parting_thread = nullptr;
    }
    HANDLE event = parting_thread == nullptr ? CreateEventA(nullptr, FALSE, FALSE, nullptr) : nullptr;
    // Watched by its own event from now on: the worker's goes with the worker.
    if (event != nullptr && WSAEventSelect(client, event, FD_READ | FD_CLOSE) == 0) {
        parting = {client, event};
        parting_thread = CreateThread(nullptr, 0, part, nullptr, 0, nullptr);
        if (parting_thread != nullptr) {
            return;
        }
    }
    closesocket(client);
    if (event != nullptr) {
        CloseHandle(event);
    }
}

// After a stop: the connection the worker left gets no more replies, and the program ends it.
void let_go_of_client()
{
    const SOCKET client = client_socket.load();
    if (client == INVALID_SOCKET) {
        return;
    }
    // Forgotten before the generation can come round again.
    if (replies_stopped(client_generation.load())) {
        set_replies_stopped(0);
    }
    if (take_out(client)) {
        part_from(client);
    }
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
        // A connection that cannot be watched, or whose hand-over could not be waited for, is let
        // go before anyone replies on it.
        if (connection_released == nullptr || !watch_connection(socket)) {
            closesocket(socket);
            continue;
        }
        const uint16_t generation = next_generation();
        const uint32_t token = unguessable_number();
        client_token.store(token);
        set_replies_stopped(0);
        clear_reply_queue();
        set_client(socket, generation);
        if (worker_running.load()) {
            serve_connection(socket, generation, worker_running);
        }
        // Stopped (also right after this accept): the stop ends the connection once the worker has
        // ended.
        if (!worker_running.load()) {
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
    let_go_of_client();
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

void finish_parting()
{
    if (parting_thread != nullptr) {
        // The thread ends by itself within PARTING_MS of the stop.
        WaitForSingleObject(parting_thread, INFINITE);
        CloseHandle(parting_thread);
        parting_thread = nullptr;
    }
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
    SOCKET client = INVALID_SOCKET;
    uint16_t generation = 0;
    if (!current_client(&client, &generation) || (addressee != REPLY_TO_CURRENT && addressee != generation) ||
        replies_stopped(generation)) {
        return INVALID_SOCKET;
    }
    return client;
}

void stop_replies(SOCKET client)
{
    SOCKET current = INVALID_SOCKET;
    uint16_t generation = 0;
    if (client == INVALID_SOCKET || !current_client(&current, &generation) || client != current) {
        return;
    }
    // The worker ends its sending side once the replies already waiting have gone out.
    set_replies_stopped(generation);
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
