#pragma once
// The control protocol on the connection: received lines become command messages for the main
// window, and the main thread's replies go back to the client.
#include <winsock2.h>
#include <windows.h>

#include <cstddef>

// Worker thread: one receive, then framing of every completed line into the commands waiting to
// be posted. Returns -1 when the connection has ended (closed by the peer, or failed), 0 otherwise.
int read_commands(SOCKET socket, char* line, size_t* count);

// Worker thread: receives from the connection until it ends and posts every command it brought,
// in order, to the main window; returns early only when the worker is told to stop.
void serve_connection(SOCKET socket);

// Main thread: the status text and "!" to the connected client, if any.
void send_status();
// Main thread: the track list (only while playing) and "!" to the connected client, if any.
void send_track_list();

// Posted by the worker behind its commands now and then: wParam is the mark's number. When the
// main window takes it, all commands before it have been carried out.
constexpr UINT WM_COMMANDS_TAKEN = WM_USER + 1003;

// Main thread: the worker may receive more commands.
void on_commands_taken(WPARAM wparam);

// Posts a message to the main window, waiting while its queue is full, until it is taken or
// the worker is told to stop. Returns false only in the latter case.
bool post_to_main_window(UINT message, WPARAM wparam, LPARAM lparam);
