#include "server/command_flow.h"

#include <initializer_list>

#include "common/commands.h"
#include "common/messages.h"
#include "common/timer.h"
#include "server/line_protocol.h"
#include "server/reply_queue.h"

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

// Marks: numbered from 1 for each window, on through the workers that post to it, so that a new
// worker counts the marks an old one left in the queue: a port change never lets more commands
// stand ahead of a menu choice than one worker would. The epoch, an unguessable number made with
// the window's first worker, tells them from a stray message of another program. Posted: written
// by the worker, taken: by the main thread.
std::atomic<uint32_t> flow_epoch{0};
std::atomic<uint32_t> marks_posted{0};
std::atomic<uint32_t> marks_taken{0};
uint32_t commands_since_mark = 0;  // worker only
// A mark that waits for the input and paint in the queue to be handled first. Main thread only.
uint32_t deferred_mark = 0;

// The connection whose replies have stopped (a failed send, a reply past the queue's bound, the
// end of the connection), 0 for none. Either thread writes.
std::atomic<uint16_t> replies_stopped_generation{0};

// Worker only: the connection being served.
struct Connection {
    uint16_t generation;
    bool replies_gone;  // nobody hears its replies: reply-only commands are dropped
    bool sending_ended;  // its sending side is shut, or sending on it failed
    TelnetFilter telnet;
    char line[LINE_BUFFER_SIZE];
    size_t fill;
};

// At the end of a connection the replies still waiting go out as the client takes them; a client
// that takes nothing for this long loses them, so that it cannot hold the next client back.
constexpr DWORD DRAIN_STALL_MS = 10000;
// The input that a mark waits behind. Touch and pen input count on Windows 8 and later, which
// know the flags; Windows 7 refuses the call with them.
constexpr UINT QS_TOUCH_INPUT = 0x0800;
constexpr UINT QS_POINTER_INPUT = 0x1000;
constexpr UINT PERSON_INPUT = QS_KEY | QS_MOUSEMOVE | QS_MOUSEBUTTON | QS_RAWINPUT | QS_PAINT;

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
        const size_t data = filter_telnet(&connection->telnet, received, static_cast<size_t>(size));
        frame_bytes(received, data, connection->line, &connection->fill, queue_command, connection);
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

// Sends the replies that wait for room; once replies have stopped and none waits, ends the
// connection's sending side, so that the client learns it hears no more.
void send_replies(SOCKET socket, Connection* connection)
{
    if (connection->sending_ended) {
        return;
    }
    if (!send_waiting_replies(socket)) {
        connection->sending_ended = true;
        set_replies_stopped(connection->generation);
        return;
    }
    if (replies_stopped(connection->generation) && !replies_waiting()) {
        shutdown(socket, SD_SEND);
        connection->sending_ended = true;
    }
}

// Whether the system knows touch and pen input (Windows 8, version 6.2, and later).
bool touch_known()
{
    using get_version = LONG(WINAPI*)(OSVERSIONINFOW*);
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    const get_version rtl_get_version = ntdll == nullptr
        ? nullptr
        : reinterpret_cast<get_version>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (rtl_get_version == nullptr || rtl_get_version(&version) != 0) {
        return false;
    }
    return version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2);
}

// The queue status flags that mean a person acts, decided at the first look (0: not yet). Main
// thread only. A plain variable, not a function's static: a guarded static would link the threads
// library, whose imports Windows XP lacks.
UINT person_flags = 0;

// Whether input or paint waits in the main thread's queue. Main thread only.
bool person_waiting()
{
    if (person_flags == 0) {
        person_flags = touch_known() ? PERSON_INPUT | QS_TOUCH_INPUT | QS_POINTER_INPUT : PERSON_INPUT;
    }
    UINT& flags = person_flags;
    SetLastError(0);
    DWORD status = GetQueueStatus(flags);
    if (status == 0 && GetLastError() == ERROR_INVALID_FLAGS && flags != PERSON_INPUT) {
        flags = PERSON_INPUT;  // a system that does not know them after all
        status = GetQueueStatus(flags);
    }
    return HIWORD(status) != 0;
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

uint32_t unguessable_number()
{
    // RtlGenRandom, exported by advapi32 as SystemFunction036 since Windows XP, looked up at run
    // time so that the program starts wherever it is missing. Looked up at each call (one a
    // connection): both threads call this, and a guarded static would link the threads library,
    // whose imports Windows XP lacks.
    using gen_random = BOOLEAN(WINAPI*)(PVOID, ULONG);
    HMODULE advapi32 = GetModuleHandleA("advapi32.dll");
    if (advapi32 == nullptr) {
        advapi32 = LoadLibraryA("advapi32.dll");
    }
    const gen_random rtl_gen_random = advapi32 == nullptr
        ? nullptr
        : reinterpret_cast<gen_random>(reinterpret_cast<void*>(GetProcAddress(advapi32, "SystemFunction036")));
    uint32_t number = 0;
    if (rtl_gen_random == nullptr || !rtl_gen_random(&number, sizeof number)) {
        // Not secret, but not a small counter either.
        LARGE_INTEGER counter = {};
        QueryPerformanceCounter(&counter);
        number = static_cast<uint32_t>(counter.QuadPart) * 2654435761u ^ GetTickCount() ^ (GetCurrentThreadId() << 16) ^
            static_cast<uint32_t>(counter.QuadPart >> 32);
    }
    return number;
}

void open_command_flow(HWND window)
{
    wake_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    socket_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (window != command_window) {
        // A new window has no marks in its queue: numbering starts again, under a new epoch.
        command_window = window;
        flow_epoch.store(unguessable_number());
        marks_posted.store(0);
        marks_taken.store(0);
        commands_since_mark = 0;
        deferred_mark = 0;
    }
}

bool command_flow_ready()
{
    return wake_event != nullptr && socket_event != nullptr;
}

void rest_worker(DWORD ms)
{
    WaitForSingleObject(wake_event, ms);
}

void wake_command_flow()
{
    if (wake_event != nullptr) {
        SetEvent(wake_event);
    }
}

void close_command_flow()
{
    // A mark deferred behind input stays so: the window takes it from its timer, and the next
    // worker goes on from there.
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

bool watch_connection(SOCKET socket)
{
    return socket_event != nullptr && WSAEventSelect(socket, socket_event, FD_READ | FD_WRITE | FD_CLOSE) == 0;
}

void serve_connection(SOCKET socket, uint16_t generation, const std::atomic<bool>& running)
{
    Connection connection = {};
    connection.generation = generation;
    bool receiving = true;
    while (running.load()) {
        if (!connection.replies_gone && replies_stopped(generation)) {
            forget_replies(&connection);
        }
        send_replies(socket, &connection);
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
        // Data is taken in as it arrives while there is room, replies go out as the connection
        // takes them, and posting goes on with each mark.
        const bool watch_socket = (receiving && room) || (!connection.sending_ended && replies_waiting());
        const HANDLE events[] = {wake_event, socket_event};
        WaitForMultipleObjects(watch_socket ? 2 : 1, events, FALSE, INFINITE);
    }
}

bool wait_for_hand_over(SOCKET socket, uint16_t generation, HANDLE released, const std::atomic<bool>& running)
{
    Connection connection = {};
    connection.generation = generation;
    for (;;) {
        send_replies(socket, &connection);
        const HANDLE events[] = {released, wake_event, socket_event};
        const DWORD woken = WaitForMultipleObjects(3, events, FALSE, INFINITE);
        if (!running.load()) {
            return false;
        }
        if (woken == WAIT_OBJECT_0) {
            break;
        }
    }
    // No reply comes any more: what waits goes out while the client takes it.
    DWORD room_at = GetTickCount();
    for (;;) {
        send_replies(socket, &connection);
        const DWORD waited = GetTickCount() - room_at;
        if (!running.load() || connection.sending_ended || !replies_waiting() || waited >= DRAIN_STALL_MS) {
            break;
        }
        const HANDLE events[] = {wake_event, socket_event};
        if (WaitForMultipleObjects(2, events, FALSE, DRAIN_STALL_MS - waited) == WAIT_OBJECT_0 + 1) {
            room_at = GetTickCount();
        }
    }
    return running.load();
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
    uint32_t mark = static_cast<uint32_t>(wparam);
    // An earlier worker's mark, or a stray message, changes nothing.
    if (lparam != static_cast<LPARAM>(flow_epoch.load()) || !mark_expected(mark)) {
        return;
    }
    // Posted messages come before input and paint: a worker that always has the next commands
    // queued would shut the person at the machine out of the menu and the dialogs. Timers come
    // after both, so the worker goes on from a timer when input or paint is waiting.
    if (person_waiting()) {
        // The later mark takes the earlier ones with it.
        const uint32_t taken = marks_taken.load();
        if (deferred_mark == 0 || mark - taken > deferred_mark - taken) {
            deferred_mark = mark;
        }
        if (start_timer(command_window, TIMER_FLOW, 0, let_worker_go_on)) {
            return;
        }
        // Without the timer the worker would wait for ever: it goes on now.
        mark = deferred_mark;
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
