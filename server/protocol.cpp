#include "server/protocol.h"

#include "app/main_window.h"
#include "player/cd_device.h"
#include "player/status_text.h"
#include "server/control_server.h"
#include "server/line_protocol.h"

namespace {

// A full queue (10,000 posted messages) refuses posts; the worker then waits so that TCP holds
// the client back, instead of dropping its commands.
constexpr DWORD FULL_QUEUE_PAUSE_MS = 5;

// A client that pipelines faster than the player carries commands out is held back long before
// the queue is full: otherwise a tray choice or the exit would wait behind every command it sent
// (Wine does not even limit the queue). Behind every COMMANDS_PER_MARK commands the worker posts
// a mark, and it receives no more while MARKS_IN_FLIGHT marks wait in the queue.
constexpr unsigned COMMANDS_PER_MARK = 16;
constexpr unsigned MARKS_IN_FLIGHT = 4;
constexpr DWORD MARK_WAIT_MS = 50;

// Both only grow. Posted: worker only. Taken: written by the main thread, read by the worker.
std::atomic<unsigned> marks_posted{0};
std::atomic<unsigned> marks_taken{0};
// Worker only.
unsigned commands_since_mark = 0;
HANDLE mark_taken = CreateEventA(nullptr, FALSE, FALSE, nullptr);

void post_command(void*, LineCommand command)
{
    if (!post_to_main_window(WM_COMMAND, command.command, static_cast<LPARAM>(command.argument))) {
        return;
    }
    if (++commands_since_mark < COMMANDS_PER_MARK) {
        return;
    }
    commands_since_mark = 0;
    const unsigned mark = marks_posted.load() + 1;
    if (!post_to_main_window(WM_COMMANDS_TAKEN, mark, 0)) {
        return;
    }
    marks_posted.store(mark);
    while (mark - marks_taken.load() > MARKS_IN_FLIGHT && worker_running.load()) {
        WaitForSingleObject(mark_taken, MARK_WAIT_MS);
    }
}

// Sends the whole reply, continuing partial sends. A connection that fails (or whose client
// stops reading for the send time-out) is closed, which also ends the worker's receive.
void send_reply(const char* text)
{
    const SOCKET socket = client_socket.load();
    if (socket == INVALID_SOCKET) {
        return;
    }
    char reply[TRACK_LIST_SIZE + 2];
    const size_t length = compose_reply(text, reply, sizeof reply);
    size_t sent = 0;
    while (sent < length) {
        const int result = send(socket, reply + sent, static_cast<int>(length - sent), 0);
        if (result == SOCKET_ERROR || result == 0) {
            close_client(socket);
            return;
        }
        sent += static_cast<size_t>(result);
    }
}

}  // namespace

void on_commands_taken(WPARAM wparam)
{
    marks_taken.store(static_cast<unsigned>(wparam));
    SetEvent(mark_taken);
}

bool post_to_main_window(UINT message, WPARAM wparam, LPARAM lparam)
{
    while (!PostMessageA(main_window.load(), message, wparam, lparam)) {
        if (!worker_running.load()) {
            return false;
        }
        Sleep(FULL_QUEUE_PAUSE_MS);
    }
    return true;
}

int read_commands(SOCKET socket, char* line, size_t* count)
{
    char received[RECEIVE_SIZE];
    const int size = recv(socket, received, sizeof received, 0);
    if (size == 0 || size == SOCKET_ERROR) {
        return -1;
    }
    frame_bytes(received, static_cast<size_t>(size), line, count, post_command, nullptr);
    return 0;
}

void send_status()
{
    send_reply(status_text);
}

void send_track_list()
{
    if (client_socket.load() == INVALID_SOCKET) {
        return;
    }
    char list[TRACK_LIST_SIZE] = "";
    if (query_mode() == MCI_MODE_PLAY) {
        build_track_list(list);
    }
    send_reply(list);
}
