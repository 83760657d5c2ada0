#pragma once
// The listening socket and the one connection worker. The worker only accepts, receives and
// posts; everything else, the replies included, happens on the main thread.
#include <winsock2.h>
#include <windows.h>

#include <atomic>

// Written by the main thread only while no worker runs; read by the worker.
extern std::atomic<SOCKET> listen_socket;
// The connection being served, or INVALID_SOCKET. Set by the worker after accept; read by the
// main thread for replies. Whoever takes a connection out of it (compare-exchange) closes it, so
// it is closed exactly once: the main thread when a connection ends (the worker hands it over
// behind the commands it posted, WM_CONNECTION_ENDED), at a stop and after a failed reply; the
// worker only when a stop refuses the hand-over. So a connection is never closed while a reply
// is being sent on it, and a client that closes its sending side still gets its replies.
extern std::atomic<SOCKET> client_socket;
// The worker may accept another client. Written by the main thread, read by the worker.
extern std::atomic<bool> worker_running;
// The running worker, or nullptr. Main thread only.
extern HANDLE worker_thread;

// Posted by the worker when a connection has ended: wParam is the connection to let go of.
constexpr UINT WM_CONNECTION_ENDED = WM_USER + 1002;

SOCKET create_listener(int port);
void start_worker();
void stop_worker();
void restart_listener(int port);

// Main thread: ends this connection if it is still the current one (the worker's receive then
// fails).
void close_client(SOCKET client);

// Main thread: the connection that replies go to, or INVALID_SOCKET when there is none or its
// replies have stopped.
SOCKET reply_socket();
// Main thread: a reply on this connection failed. It gets no more replies and is told so (its
// sending side ends), but it stays open: the worker still receives what the client sent, and the
// commands are carried out.
void stop_replies(SOCKET client);

// The main window's half of the hand-over: closes the connection in wparam unless it is closed
// already, and lets the worker go on.
void on_connection_ended(WPARAM wparam);
