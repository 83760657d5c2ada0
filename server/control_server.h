#pragma once
// The listening socket and the one connection worker. The worker only accepts, receives and
// posts; everything else, the replies included, happens on the main thread.
#include <winsock2.h>
#include <windows.h>

#include <atomic>

// Written by the main thread only while no worker runs; read by the worker.
extern std::atomic<SOCKET> listen_socket;
// The connection being served, or INVALID_SOCKET. Set by the worker after accept; read by the
// main thread for replies. Whoever takes a connection out of it (exchange) releases it, so it is
// closed exactly once. Only the main thread ever closes one: the worker hands its connections
// over (WM_CONNECTION_ENDED), so a connection is never closed while a reply is being sent on it.
extern std::atomic<SOCKET> client_socket;
// The worker may accept another client. Written by the main thread, read by the worker.
extern std::atomic<bool> worker_running;
// The running worker, or nullptr. Main thread only.
extern HANDLE worker_thread;

// Posted by the worker when a connection has ended: wParam is the connection to close.
constexpr UINT WM_CONNECTION_ENDED = WM_USER + 1002;

SOCKET create_listener(int port);
void start_worker();
void stop_worker();
void restart_listener(int port);

// Main thread: ends this connection if it is still the current one (the worker's receive then
// fails).
void close_client(SOCKET client);

// The main window's half of the hand-over: closes the connection in wparam.
void on_connection_ended(WPARAM wparam);
