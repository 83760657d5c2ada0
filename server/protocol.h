#pragma once
// The receiving half of the control protocol, on the connection worker: received lines become
// command messages for the main window, posted in order and no faster than it takes them.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstddef>

// Worker thread: one receive, then framing of every completed line into the commands waiting to
// be posted. Returns -1 when the connection has ended (closed by the peer, or failed), 0 otherwise.
int read_commands(SOCKET socket, char* line, size_t* count);

// Worker thread: receives from the connection until it ends and posts every command it brought,
// in order, to window; returns early only when running turns false.
void serve_connection(SOCKET socket, HWND window, const std::atomic<bool>& running);

// Posts a message to window, waiting while its queue is full, until it is taken or running turns
// false. Returns false only in the latter case.
bool post_to_window(HWND window, const std::atomic<bool>& running, UINT message, WPARAM wparam, LPARAM lparam);

// Main thread, around each worker's life: before it starts, and once it has ended.
void open_command_flow();
void close_command_flow();

// Main thread, for WM_COMMANDS_TAKEN: the worker may post more commands.
void on_commands_taken(WPARAM wparam);
