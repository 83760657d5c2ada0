#include "server/protocol.h"

#include "common/messages.h"
#include "server/line_protocol.h"

#include <cstdint>

namespace {

// A full queue (10,000 posted messages) refuses posts; the worker then waits so that TCP holds
// the client back, instead of dropping its commands.
constexpr DWORD FULL_QUEUE_PAUSE_MS = 5;

// A client that pipelines faster than the player carries commands out is held back long before
// the queue is full: otherwise a tray choice or the exit would wait behind every command it sent
// (Wine does not even limit the queue). Behind every COMMANDS_PER_MARK commands the worker posts
// a mark, and it posts no more while MARKS_IN_FLIGHT marks wait in the queue.
constexpr unsigned COMMANDS_PER_MARK = 16;
constexpr unsigned MARKS_IN_FLIGHT = 4;
constexpr DWORD MARK_WAIT_MS = 50;
// The commands received but not yet posted. The worker keeps receiving into it while the marks
// hold the posting back, so a client's batch leaves the kernel's buffers at once: a client that
// closes without reading its replies resets the connection, and on Windows a reset discards
// whatever has not been received yet. A run of the same command (a client polling "status") is
// one entry, so such a batch never fills it; 8,192 different commands in a row do. Worker only.
struct PendingCommand {
    LineCommand command;
    uint32_t repeat;  // how many times it was sent in a row, at least 1
};
constexpr size_t PENDING_CAPACITY = 8192;
// One receive completes at most one command per two bytes (a byte and a terminator) plus the
// line carried over: the worker receives only with room for a whole receive's worth.
constexpr size_t PENDING_ROOM_FOR_RECEIVE = RECEIVE_SIZE / 2 + 1;
PendingCommand pending[PENDING_CAPACITY];
size_t pending_first = 0;
size_t pending_count = 0;

// Both only grow. Posted: worker only. Taken: written by the main thread, read by the worker.
std::atomic<unsigned> marks_posted{0};
std::atomic<unsigned> marks_taken{0};
// Worker only.
unsigned commands_since_mark = 0;
// Set by the main thread whenever it takes a mark. Made before a worker starts and closed after
// it has ended, both on the main thread, which alone also sets it.
HANDLE mark_taken = nullptr;

void queue_command(void*, LineCommand command)
{
    if (pending_count > 0) {
        PendingCommand& last = pending[(pending_first + pending_count - 1) % PENDING_CAPACITY];
        if (last.command.command == command.command && last.command.argument == command.argument &&
            last.repeat < UINT32_MAX) {
            ++last.repeat;
            return;
        }
    }
    pending[(pending_first + pending_count) % PENDING_CAPACITY] = {command, 1};
    ++pending_count;
}

bool marks_allow_posting()
{
    return marks_posted.load() - marks_taken.load() <= MARKS_IN_FLIGHT;
}

// Posts waiting commands, in order, as far as the marks allow. False when a stop refused a post.
bool post_pending(HWND window, const std::atomic<bool>& running)
{
    while (pending_count > 0 && marks_allow_posting()) {
        PendingCommand& next = pending[pending_first];
        if (!post_to_window(
                window, running, WM_COMMAND, next.command.command, static_cast<LPARAM>(next.command.argument))) {
            return false;
        }
        if (--next.repeat == 0) {
            pending_first = (pending_first + 1) % PENDING_CAPACITY;
            --pending_count;
        }
        if (++commands_since_mark < COMMANDS_PER_MARK) {
            continue;
        }
        commands_since_mark = 0;
        const unsigned mark = marks_posted.load() + 1;
        if (!post_to_window(window, running, WM_COMMANDS_TAKEN, mark, 0)) {
            return false;
        }
        marks_posted.store(mark);
    }
    return true;
}

// Whether a receive would return at once (bytes, the end, or an error).
bool receive_ready(SOCKET socket)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval no_wait = {0, 0};
    return select(0, &readable, nullptr, nullptr, &no_wait) != 0;
}

}  // namespace

void open_command_flow()
{
    mark_taken = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

void close_command_flow()
{
    if (mark_taken != nullptr) {
        CloseHandle(mark_taken);
        mark_taken = nullptr;
    }
}

void on_commands_taken(WPARAM wparam)
{
    marks_taken.store(static_cast<unsigned>(wparam));
    // A mark of a worker that has been stopped since needs no one woken.
    if (mark_taken != nullptr) {
        SetEvent(mark_taken);
    }
}

bool post_to_window(HWND window, const std::atomic<bool>& running, UINT message, WPARAM wparam, LPARAM lparam)
{
    while (!PostMessageA(window, message, wparam, lparam)) {
        if (!running.load()) {
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
    frame_bytes(received, static_cast<size_t>(size), line, count, queue_command, nullptr);
    return 0;
}

void serve_connection(SOCKET socket, HWND window, const std::atomic<bool>& running)
{
    char line[LINE_BUFFER_SIZE];
    size_t count = 0;
    pending_first = 0;
    pending_count = 0;
    bool receiving = true;
    while (running.load() && post_pending(window, running)) {
        // Nothing waits to be posted: block in the receive. Otherwise the marks hold the posting
        // back: take in whatever has arrived meanwhile, then sleep until the next mark is taken.
        if (receiving && PENDING_CAPACITY - pending_count >= PENDING_ROOM_FOR_RECEIVE &&
            (pending_count == 0 || receive_ready(socket))) {
            receiving = read_commands(socket, line, &count) != -1;
            continue;
        }
        if (pending_count == 0) {
            return;  // the connection has ended and everything it sent is posted
        }
        WaitForSingleObject(mark_taken, MARK_WAIT_MS);
    }
}
