#include "server/command_flow.h"

#include <initializer_list>

#include "common/commands.h"
#include "common/messages.h"
#include "server/line_protocol.h"

namespace {

// A full queue (10,000 posted messages on Windows) refuses posts; the worker then waits instead of
// dropping commands. With the marks this takes other programs flooding the window.
constexpr DWORD FULL_QUEUE_PAUSE_MS = 5;
// One receive completes at most one command per two bytes (a byte and a terminator) plus the line
// carried over: the worker receives only while the backlog has room for that many.
constexpr uint32_t COMMANDS_PER_RECEIVE = RECEIVE_SIZE / 2 + 1;

// The backlog: a ring of commands with their connection's generation; a run of the same command
// of one connection is one entry. Worker only while one runs (see the header).
struct PendingCommand {
    LineCommand command;
    uint16_t generation;
    uint32_t repeat;  // at least 1
};
constexpr size_t PENDING_CAPACITY = BACKLOG_COMMANDS;  // never more entries than commands
PendingCommand pending[PENDING_CAPACITY];
size_t pending_first = 0;
size_t pending_entries = 0;
uint32_t pending_commands = 0;  // every repetition counted

// Set by the main thread before a worker starts; the worker only reads it.
HWND command_window = nullptr;
// The worker's wait ends when a mark is taken or a stop comes (wake_event) or the connection has
// something to read or has ended (socket_event). Both auto-reset; made before a worker starts and
// closed after it has ended, on the main thread.
HANDLE wake_event = nullptr;
HANDLE socket_event = nullptr;

// Marks: numbered from 1 with each worker, which posts them; the epoch tells one worker's marks
// from another's. Posted: written by the worker, taken: by the main thread.
std::atomic<uint32_t> flow_epoch{0};
std::atomic<uint32_t> marks_posted{0};
std::atomic<uint32_t> marks_taken{0};
uint32_t commands_since_mark = 0;  // worker only
// A mark that waits for the input and paint in the queue to be handled first. Main thread only.
uint32_t deferred_mark = 0;

// The connection whose replies have stopped (a failed send), 0 for none. Main thread writes.
std::atomic<uint16_t> replies_stopped_generation{0};

// Worker only: the connection being served.
struct Connection {
    uint16_t generation;
    bool replies_gone;  // nobody hears its replies: reply-only commands are dropped
    char line[LINE_BUFFER_SIZE];
    size_t fill;
};

PendingCommand& pending_at(size_t index)
{
    return pending[(pending_first + index) % PENDING_CAPACITY];
}

void queue_command(void* context, LineCommand command)
{
    const Connection* connection = static_cast<const Connection*>(context);
    if (connection->replies_gone && is_reply_only(command.command)) {
        return;
    }
    ++pending_commands;
    if (pending_entries > 0) {
        PendingCommand& last = pending_at(pending_entries - 1);
        if (last.command.command == command.command && last.command.argument == command.argument &&
            last.generation == connection->generation) {
            ++last.repeat;
            return;
        }
    }
    pending_at(pending_entries) = {command, connection->generation, 1};
    ++pending_entries;
}

// Drops the waiting commands that would only reply: all of them (a stopped worker's leftovers),
// or those of one connection.
void drop_reply_only(bool all, uint16_t generation)
{
    size_t kept = 0;
    for (size_t i = 0; i < pending_entries; ++i) {
        const PendingCommand entry = pending_at(i);
        if (is_reply_only(entry.command.command) && (all || entry.generation == generation)) {
            pending_commands -= entry.repeat;
            continue;
        }
        pending_at(kept++) = entry;
    }
    pending_entries = kept;
}

bool marks_allow_posting()
{
    return marks_posted.load() - marks_taken.load() <= MARKS_IN_FLIGHT;
}

// Posts waiting commands, in order, as far as the marks allow. False when a stop refused a post.
bool post_pending(const std::atomic<bool>& running)
{
    while (pending_entries > 0 && marks_allow_posting()) {
        PendingCommand& next = pending[pending_first];
        const WPARAM wparam = MAKEWPARAM(next.command.command, next.generation);
        if (!post_to_window(command_window, running, WM_CLIENT_COMMAND, wparam, next.command.argument)) {
            return false;
        }
        --pending_commands;
        if (--next.repeat == 0) {
            pending_first = (pending_first + 1) % PENDING_CAPACITY;
            --pending_entries;
        }
        if (++commands_since_mark < COMMANDS_PER_MARK) {
            continue;
        }
        commands_since_mark = 0;
        // Counted before it is posted: the main window takes only marks that were counted.
        const uint32_t mark = marks_posted.load() + 1;
        marks_posted.store(mark);
        if (!post_to_window(command_window, running, WM_COMMANDS_TAKEN, mark, flow_epoch.load())) {
            return false;
        }
    }
    return true;
}

enum class Received { data, nothing_yet, end, failed };

// One receive on the non-blocking connection, framed into the backlog.
Received receive(SOCKET socket, Connection* connection)
{
    char received[RECEIVE_SIZE];
    const int size = recv(socket, received, sizeof received, 0);
    if (size > 0) {
        frame_bytes(
            received, static_cast<size_t>(size), connection->line, &connection->fill, queue_command, connection);
        return Received::data;
    }
    if (size == 0) {
        return Received::end;
    }
    return WSAGetLastError() == WSAEWOULDBLOCK ? Received::nothing_yet : Received::failed;
}

void forget_replies(Connection* connection)
{
    connection->replies_gone = true;
    drop_reply_only(false, connection->generation);
}

// Whether the mark is one the worker has posted and the window has not taken yet.
bool mark_expected(uint32_t mark)
{
    const uint32_t taken = marks_taken.load();
    return mark - taken != 0 && mark - taken <= marks_posted.load() - taken;
}

void take_mark(uint32_t mark)
{
    if (mark_expected(mark)) {
        marks_taken.store(mark);
        SetEvent(wake_event);
    }
}

// The zero-delay timer behind the input and paint that were waiting when a mark was taken.
void CALLBACK let_worker_go_on(HWND window, UINT, UINT_PTR timer, DWORD)
{
    KillTimer(window, timer);
    const uint32_t mark = deferred_mark;
    deferred_mark = 0;
    if (mark != 0) {
        take_mark(mark);
    }
}

}  // namespace

void open_command_flow(HWND window)
{
    command_window = window;
    wake_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    socket_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    flow_epoch.store(flow_epoch.load() + 1);
    marks_posted.store(0);
    marks_taken.store(0);
    commands_since_mark = 0;
    deferred_mark = 0;
    KillTimer(window, TIMER_FLOW);
}

void wake_command_flow()
{
    if (wake_event != nullptr) {
        SetEvent(wake_event);
    }
}

void close_command_flow()
{
    if (command_window != nullptr) {
        KillTimer(command_window, TIMER_FLOW);
    }
    deferred_mark = 0;
    for (HANDLE* event : {&wake_event, &socket_event}) {
        if (*event != nullptr) {
            CloseHandle(*event);
            *event = nullptr;
        }
    }
    drop_reply_only(true, 0);
}

bool post_leftovers(const std::atomic<bool>& running)
{
    while (running.load() && pending_entries > 0) {
        if (!post_pending(running)) {
            return false;
        }
        if (pending_entries > 0) {
            WaitForSingleObject(wake_event, INFINITE);
        }
    }
    return running.load();
}

void watch_connection(SOCKET socket)
{
    WSAEventSelect(socket, socket_event, FD_READ | FD_CLOSE);
}

void serve_connection(SOCKET socket, uint16_t generation, const std::atomic<bool>& running)
{
    Connection connection;
    connection.generation = generation;
    connection.replies_gone = false;
    connection.fill = 0;
    bool receiving = true;
    while (running.load()) {
        if (!connection.replies_gone && replies_stopped(generation)) {
            forget_replies(&connection);
        }
        if (!post_pending(running)) {
            return;
        }
        const bool room = pending_commands + COMMANDS_PER_RECEIVE <= BACKLOG_COMMANDS;
        if (receiving && room) {
            const Received result = receive(socket, &connection);
            if (result == Received::data) {
                continue;
            }
            if (result != Received::nothing_yet) {
                // The end, or a reset: what was received is carried out; after a reset nobody
                // hears the replies.
                receiving = false;
                if (result == Received::failed) {
                    forget_replies(&connection);
                }
                continue;
            }
        } else if (!receiving && pending_entries == 0) {
            return;
        }
        // Data is taken in as it arrives while there is room, and posting goes on with each mark.
        const HANDLE events[] = {wake_event, socket_event};
        WaitForMultipleObjects(receiving && room ? 2 : 1, events, FALSE, INFINITE);
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

void on_commands_taken(WPARAM wparam, LPARAM lparam)
{
    const uint32_t mark = static_cast<uint32_t>(wparam);
    // An earlier worker's mark, or a stray message, changes nothing.
    if (lparam != static_cast<LPARAM>(flow_epoch.load()) || !mark_expected(mark)) {
        return;
    }
    // Posted messages come before input and paint: a worker that always has the next commands
    // queued would shut the person at the machine out of the menu and the dialogs. Timers come
    // after both, so the worker goes on from a timer when input or paint is waiting.
    if (HIWORD(GetQueueStatus(QS_INPUT | QS_PAINT)) != 0) {
        // The later mark takes the earlier ones with it.
        const uint32_t taken = marks_taken.load();
        if (deferred_mark == 0 || mark - taken > deferred_mark - taken) {
            deferred_mark = mark;
        }
        SetTimer(command_window, TIMER_FLOW, 0, let_worker_go_on);
        return;
    }
    deferred_mark = 0;
    take_mark(mark);
}

void set_replies_stopped(uint16_t generation)
{
    replies_stopped_generation.store(generation);
}

bool replies_stopped(uint16_t generation)
{
    return generation != 0 && replies_stopped_generation.load() == generation;
}
