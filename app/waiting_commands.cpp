#include "app/waiting_commands.h"

#include "common/commands.h"
#include "common/messages.h"
#include "common/timer.h"
#include "player/cd_device.h"

namespace {

// The connection worker has at most 80 commands, 5 marks and one hand-over posted that the main
// window has not taken (server/command_flow.h): it posts no more until a mark is taken, and marks
// wait here too, so TCP holds the client back. The rest is room for the person at the machine and
// for other programs.
constexpr size_t WAITING_CAPACITY = 256;
// How long one turn of carrying out waiting commands may keep the message loop.
constexpr DWORD RELEASE_SLICE_MS = 50;

struct WaitingMessage {
    UINT message;
    WPARAM wparam;
    LPARAM lparam;
};
WaitingMessage waiting[WAITING_CAPACITY];
size_t waiting_first = 0;
size_t waiting_count = 0;
// The message being released is on its way to the window procedure: the next look lets it
// through. Anything that arrives while it is carried out (a dialog's own loop runs) waits as usual.
bool releasing_one = false;

bool is_command(WPARAM wparam)
{
    const unsigned command = LOWORD(wparam);
    return command >= CMD_FIRST && command <= CMD_LAST;
}

// The dialogs open at once, whoever asks: while one is open its own message loop carries out
// everything else, so it holds nobody, and it touches nothing until a choice is made.
bool opens_dialog(unsigned command)
{
    return command == CMD_SETTINGS || command == CMD_SELECT_TRACK;
}

// What must keep its place among the commands: every command but the exit and the dialogs, the
// click that toggles the player, and the worker's messages that stand behind its commands.
bool takes_its_turn(UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_COMMAND:
    case WM_CLIENT_COMMAND:
        return is_command(wparam) && LOWORD(wparam) != CMD_EXIT && !opens_dialog(LOWORD(wparam));
    case WM_TRAY_NOTIFY:
        return static_cast<UINT>(lparam) == WM_LBUTTONDOWN;
    case WM_COMMANDS_TAKEN:
    case WM_CONNECTION_ENDED:
        return true;
    default:
        return false;
    }
}

void CALLBACK go_on_releasing(HWND window, UINT, UINT_PTR timer, DWORD)
{
    KillTimer(window, timer);
    release_waiting(window);
}

// Carries out what waits; may_yield: a turn ends after RELEASE_SLICE_MS, or as soon as the person
// at the machine, the screen or another program waits, and goes on from a timer.
void release(HWND window, bool may_yield)
{
    const DWORD began = GetTickCount();
    while (waiting_count > 0 && !play_in_progress()) {
        // Posted messages come before input and paint, timers after both.
        if (may_yield &&
            (GetTickCount() - began >= RELEASE_SLICE_MS ||
                HIWORD(GetQueueStatus(QS_INPUT | QS_PAINT | QS_SENDMESSAGE)) != 0)) {
            release_waiting_soon(window);
            return;
        }
        const WaitingMessage next = waiting[waiting_first];
        waiting_first = (waiting_first + 1) % WAITING_CAPACITY;
        --waiting_count;
        releasing_one = true;
        SendMessageA(window, next.message, next.wparam, next.lparam);
        releasing_one = false;
    }
}

}  // namespace

bool acts_on_drive(UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_COMMAND:
    case WM_CLIENT_COMMAND:
        return takes_its_turn(message, wparam, lparam) && !is_reply_only(LOWORD(wparam));
    case WM_TRAY_NOTIFY:
        return takes_its_turn(message, wparam, lparam);
    default:
        return false;
    }
}

bool drive_command_waits()
{
    for (size_t i = 0; i < waiting_count; ++i) {
        const WaitingMessage& entry = waiting[(waiting_first + i) % WAITING_CAPACITY];
        if (acts_on_drive(entry.message, entry.wparam, entry.lparam)) {
            return true;
        }
    }
    return false;
}

bool keep_waiting(UINT message, WPARAM wparam, LPARAM lparam)
{
    if (releasing_one) {
        releasing_one = false;
        return false;
    }
    if (!takes_its_turn(message, wparam, lparam) || (!play_in_progress() && waiting_count == 0)) {
        return false;
    }
    if (waiting_count == WAITING_CAPACITY) {
        // Only other programs' messages can fill it. A mark or a hand-over goes through at once
        // (their handlers ignore strays), so that the worker is never left waiting; a command is
        // dropped.
        return message == WM_COMMAND || message == WM_CLIENT_COMMAND || message == WM_TRAY_NOTIFY;
    }
    waiting[(waiting_first + waiting_count) % WAITING_CAPACITY] = {message, wparam, lparam};
    ++waiting_count;
    return true;
}

void release_waiting(HWND window)
{
    release(window, true);
}

void release_waiting_soon(HWND window)
{
    // Without the timer nothing would ever carry out what waits: then it is carried out now.
    if (!start_timer(window, TIMER_WAITING, 0, go_on_releasing)) {
        release(window, false);
    }
}

void drop_waiting(HWND window)
{
    KillTimer(window, TIMER_WAITING);
    waiting_first = 0;
    waiting_count = 0;
}
