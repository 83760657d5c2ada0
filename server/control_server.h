#pragma once
// The listening socket and the one connection worker. The worker only accepts, receives and
// posts; everything else, the replies included, happens on the main thread. The sockets, the
// worker and its run flag are this file's own: the functions below are the only way to them,
// and they keep the rule that each connection is closed exactly once, never under a reply.
#include <winsock2.h>
#include <windows.h>

#include <cstdint>

// A reply's addressee: the generation of the connection a command came from (from the high word
// of WM_CLIENT_COMMAND's wParam), or REPLY_TO_CURRENT for a command chosen at the machine, which
// whoever is connected hears.
constexpr uint16_t REPLY_TO_CURRENT = 0;

// Main thread, before the first listener: the window that the worker posts commands to.
void attach_server(HWND window);

// A listening socket on the port (all addresses), or INVALID_SOCKET.
SOCKET create_listener(int port);

// Main thread. start_worker: a worker accepts on the current listener. stop_worker: closes the
// listener, waits for the worker to end and ends the connection (without waiting for its client;
// finish_parting below); nothing to do when none runs.
void start_worker();
void stop_worker();
// Main thread: a listener on the port, then the running worker stopped and a new one started on
// it. False, with everything left as it was (the old port still served, if there was one), when
// the port cannot be bound.
bool restart_listener(int port);

// Main thread, before the sockets end (WSACleanup): waits until the connection that the last stop
// ended is closed. A stop ends a connected client's connection after what was sent to it, and
// gives the client a moment (half a second at most) to end its side, so that the port can be bound
// again at once (see part in control_server.cpp).
void finish_parting();

// Main thread: what the server is doing.
bool listening();
bool client_connected();
// Whether no worker runs, or the running one ends within the wait (without releasing it).
bool worker_ended(DWORD wait_ms);

// Main thread: the connection that a reply to this addressee goes to, or INVALID_SOCKET when that
// connection has ended, there is none, or its replies have stopped.
SOCKET reply_socket(uint16_t addressee);
// Main thread: a reply on this connection failed. It gets no more replies and is told so (its
// sending side ends), but it stays open: the worker still receives what the client sent, and the
// commands with an effect are carried out.
void stop_replies(SOCKET client);

// Main thread, for WM_CONNECTION_ENDED (wParam the connection, lParam its generation): closes the
// connection that the worker hands over and lets the worker go on. Anything else is ignored.
void on_connection_ended(WPARAM wparam, LPARAM lparam);
