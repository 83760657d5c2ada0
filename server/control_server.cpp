#include "server/control_server.h"

#include <atomic>

#include "common/messages.h"
#include "server/protocol.h"

namespace {

// The listening socket, or INVALID_SOCKET. Written by the main thread only while no worker runs;
// read by the worker.
std::atomic<SOCKET> listen_socket{INVALID_SOCKET};
// The connection being served, or INVALID_SOCKET. Set by the worker after accept; read by the
// main thread for replies. Whoever takes a connection out of it (take_client) closes it, so it is
// closed exactly once: the main thread when a connection ends (the worker hands it over behind
// the commands it posted, WM_CONNECTION_ENDED) and at a stop; the worker only when a stop refuses
// the hand-over. So a connection is never closed while a reply is being sent on it, and a client
// that closes its sending side still gets its replies.
std::atomic<SOCKET> client_socket{INVALID_SOCKET};
// The worker may accept another client. Written by the main thread, read by the worker.
std::atomic<bool> worker_running{false};
// The running worker, or nullptr. Main thread only.
HANDLE worker_thread = nullptr;
// Where the worker posts commands and hand-overs. Set by the main thread before any worker runs.
HWND command_window = nullptr;

constexpr int LISTEN_BACKLOG = 5;
// Replies are sent on the main thread: a client that stops reading must not freeze the program.
// After this long without progress the reply fails, and the connection gets no more replies.
constexpr DWORD REPLY_SEND_TIMEOUT_MS = 5000;
// Room in the system for a client's whole batch: a client that writes a batch and closes without
// reading gets its first reply refused by its own system, which then resets the connection and
// drops whatever of the batch it had not yet handed over. (Systems may grant less.)
constexpr int RECEIVE_BUFFER_BYTES = 1 << 20;
constexpr DWORD ACCEPT_RETRY_PAUSE_MS = 100;

// Set by the main thread once it has let go of the connection the worker handed over, and by a
// stop. Auto-reset; made once, it lives as long as the process.
HANDLE connection_released = nullptr;

// The current connection once a reply on it has failed, else INVALID_SOCKET. Main thread only;
// forgotten when the main thread lets go of that connection, before its handle can be reused.
SOCKET replies_stopped = INVALID_SOCKET;

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
void end_connection(SOCKET socket)
{
    if (post_to_window(command_window, worker_running, WM_CONNECTION_ENDED, static_cast<WPARAM>(socket), 0)) {
        WaitForSingleObject(connection_released, INFINITE);
        return;
    }
    // Only a stop refuses the hand-over, and the main thread then waits for this worker instead
    // of sending: the connection is closed here unless the stop has taken it already.
    take_client(socket);
}

// The main thread lets go of a connection: it gets no more replies, and it is closed.
void close_client(SOCKET client)
{
    if (client != INVALID_SOCKET && client == replies_stopped) {
        replies_stopped = INVALID_SOCKET;
    }
    take_client(client);
}

// A failed accept ends the worker when the listener is gone. A client that gave up while it
// waited in the backlog, or a passing shortage of resources, must not end the service.
bool accept_may_succeed_again(int error)
{
    switch (error) {
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAENOTCONN:  // what Wine reports for a connection reset in the backlog
        return true;
    case WSAEMFILE:
    case WSAENOBUFS:
        Sleep(ACCEPT_RETRY_PAUSE_MS);
        return true;
    default:
        return false;
    }
}

DWORD WINAPI connection_worker(LPVOID)
{
    const SOCKET listener = listen_socket.load();
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
        const DWORD timeout = REPLY_SEND_TIMEOUT_MS;
        setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
        const int receive_buffer = RECEIVE_BUFFER_BYTES;
        setsockopt(
            socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receive_buffer), sizeof receive_buffer);
        client_socket.store(socket);
        // A client accepted while a stop closes the sockets would otherwise keep the worker
        // receiving until it leaves: the stop clears the flag before it looks at the client.
        if (!worker_running.load()) {
            end_connection(socket);
            break;
        }
        serve_connection(socket, command_window, worker_running);
        end_connection(socket);
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
    if (connection_released == nullptr) {
        connection_released = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    ResetEvent(connection_released);
    open_command_flow();
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
    // Closing it is what ends the worker's blocking receive; a worker waiting for the main
    // thread to let go of a connection is let go itself.
    close_client(client_socket.load());
    if (connection_released != nullptr) {
        SetEvent(connection_released);
    }
    if (worker_thread != nullptr) {
        WaitForSingleObject(worker_thread, INFINITE);
        CloseHandle(worker_thread);
        worker_thread = nullptr;
    }
    close_command_flow();
    // Connections handed over but not yet closed by the main window.
    MSG message;
    while (PeekMessageA(&message, nullptr, WM_CONNECTION_ENDED, WM_CONNECTION_ENDED, PM_REMOVE)) {
        on_connection_ended(message.wParam);
    }
    // A connection the worker closed itself is gone too; its handle may come back for another.
    replies_stopped = INVALID_SOCKET;
}

bool restart_listener(int port)
{
    stop_worker();
    listen_socket.store(create_listener(port));
    start_worker();
    return listening();
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

SOCKET reply_socket()
{
    const SOCKET client = client_socket.load();
    return client == replies_stopped ? INVALID_SOCKET : client;
}

void stop_replies(SOCKET client)
{
    if (client == INVALID_SOCKET || client != client_socket.load()) {
        return;
    }
    replies_stopped = client;
    shutdown(client, SD_SEND);
}

void on_connection_ended(WPARAM wparam)
{
    close_client(static_cast<SOCKET>(wparam));
    SetEvent(connection_released);
}
