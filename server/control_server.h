#pragma once
// The listening socket and the one connection worker. The worker only accepts, receives and
// posts; everything else, the replies included, happens on the main thread.
#include <winsock2.h>
#include <windows.h>

#include <atomic>

// Written by the main thread only while no worker runs; read by the worker.
extern std::atomic<SOCKET> listen_socket;
// The connection being served, or INVALID_SOCKET. Written by the worker, read by the main
// thread for replies. Only the main thread closes a connection, once the worker has handed it
// over (WM_CONNECTION_ENDED), so a handle the main thread holds is never closed under it.
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

// The main window's half of the hand-over: closes the connection in wparam.
void on_connection_ended(WPARAM wparam);
