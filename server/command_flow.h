#pragma once
// The connection worker's half of the command path: received lines become commands that wait in
// a bounded backlog and are posted to the main window in order, no faster than it carries them
// out, while the person at the machine keeps the first turn. docs/design.md, "The path of a
// command", walks through it.
//
// Threads: the worker receives, frames and posts; the main thread takes the marks. The backlog
// is the worker's while one runs and the main thread's between two workers (a stop hands it over
// by waiting for the worker to end); the counters and the reply flag are atomics.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>

// Commands received and not yet posted, every repetition counted. Beyond this the worker stops
// receiving, so that TCP holds the client back. With the posted ones not yet carried out (below)
// at most 8,192 commands wait between the socket and the main thread: about two seconds of work.
constexpr uint32_t BACKLOG_COMMANDS = 8112;
// Behind every COMMANDS_PER_MARK commands the worker posts a mark, and it posts no more while more
// than MARKS_IN_FLIGHT marks wait: at most 80 posted commands wait ahead of a tray choice.
constexpr uint32_t COMMANDS_PER_MARK = 16;
constexpr uint32_t MARKS_IN_FLIGHT = 4;

// Main thread, around each worker's life: before it starts (with the window it posts to), to end
// its waits at a stop, and once it has ended. What it received and could not post stays for the
// next worker, which posts it first; those commands' connection is gone, so the ones that only
// reply are dropped.
void open_command_flow(HWND window);
void wake_command_flow();
void close_command_flow();
// Worker: whether the flow's events were made; without them the worker cannot wait, and ends.
bool command_flow_ready();
// Worker: a pause of at most ms, which a stop ends at once.
void rest_worker(DWORD ms);

// A 32-bit number another program cannot guess: what tells the worker's messages from strays.
uint32_t unguessable_number();

// Worker: posts what an earlier worker left. False when stopped first.
bool post_leftovers(const std::atomic<bool>& running);
// Worker, right after accept: the connection becomes non-blocking, watched by the worker's wait
// for data, room for replies and its end. False when it cannot be watched: it must not be served.
bool watch_connection(SOCKET socket);
// Worker: receives from the connection until it ends and posts every command it brought, in
// order, as WM_CLIENT_COMMAND with the connection's generation, and sends the replies that wait
// for room. Returns once all are posted, or early when running turns false.
void serve_connection(SOCKET socket, uint16_t generation, const std::atomic<bool>& running);
// Worker, once the connection's end has been posted: sends waiting replies until the main thread
// sets released, then what still waits while the client takes it. False when running turned false.
bool wait_for_hand_over(SOCKET socket, uint16_t generation, HANDLE released, const std::atomic<bool>& running);

// Posts a message to window, waiting while its queue is full, until it is taken or running turns
// false. Returns false only in the latter case.
bool post_to_window(HWND window, const std::atomic<bool>& running, UINT message, WPARAM wparam, LPARAM lparam);

// Main thread, for WM_COMMANDS_TAKEN. A mark lets the worker go on, but only once the input and
// painting waiting at that moment have been handled.
void on_commands_taken(WPARAM mark, LPARAM epoch);

// Replies to this connection have stopped (0: none has). The worker then drops its commands that
// would only reply, and ends the connection's sending side once the waiting replies are out.
// Either thread may set and ask.
void set_replies_stopped(uint16_t generation);
bool replies_stopped(uint16_t generation);
