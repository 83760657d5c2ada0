#include "app/main_window.h"

#include <winsock2.h>
#include <commctrl.h>

#include "app/dispatch.h"
#include "app/module.h"
#include "app/settings.h"
#include "app/tray_events.h"
#include "app/tray_icon.h"
#include "app/waiting_commands.h"
#include "common/commands.h"
#include "common/messages.h"
#include "player/cd_device.h"
#include "res/resource.h"
#include "res/texts.h"
#include "server/command_flow.h"
#include "server/control_server.h"
#include "ui/settings_dialog.h"
#include "ui/system_function.h"
#include "ui/wide_text.h"

namespace {

// One copy per logon session: a second one would fight the first for the drive and the port.
constexpr wchar_t ONE_COPY_MUTEX[] = L"Local\\qel-one-copy";
// ChangeWindowMessageFilterEx's MSGFLT_ALLOW (Windows 7 and later).
constexpr DWORD MESSAGE_FILTER_ALLOW = 1;
// Windows Sockets 2: the worker waits on its connection and its marks together (WSAEventSelect).
constexpr WORD WINSOCK_VERSION_2_2 = MAKEWORD(2, 2);

// What creation has brought up, so that the shutdown sequence takes down exactly that, once.
bool sockets_started = false;
bool timer_started = false;
bool shut_down = false;
// The shell's broadcast after the taskbar restarts. Registered once, before the window exists:
// asking for it again with every message would cost a trip to the system each time.
UINT taskbar_created = 0;

void shut_down_everything(HWND window)
{
    if (shut_down) {
        return;
    }
    shut_down = true;
    // A play still being tried, and the commands waiting for it, end with the program.
    abandon_play();
    KillTimer(window, TIMER_PLAY_RETRY);
    drop_waiting(window);
    stop_worker();
    close_cd_device(window);
    remove_tray(window);
    if (timer_started) {
        KillTimer(window, TIMER_REFRESH);
        timer_started = false;
    }
    PostQuitMessage(0);
}

// After the message loop: the sockets end with the program, once the connection the stop ended
// has had its moment (finish_parting).
void end_sockets()
{
    if (sockets_started) {
        finish_parting();
        WSACleanup();
        sockets_started = false;
    }
}

void fatal_startup_error(HWND window, const char* text)
{
    show_startup_message(text, TEXT_ERROR_TITLE);
    shut_down_everything(window);
}

// Whether the program is to end: a close request or the session's end has shut it down (the
// window's WM_DESTROY, WM_ENDSESSION), or a quit waits. Another program's close request can come
// at any moment, also while a start-up message or dialog runs inside the window's creation. A
// modal loop (MessageBox, DialogBox) that retrieves WM_QUIT posts it again and returns at once
// (Microsoft's "WM_QUIT message": it makes GetMessage return zero; The Old New Thing, "Modality,
// part 3: The WM_QUIT message"), and so does every later one: whatever runs after such a loop
// asks this first, and asks the user nothing more once it is true.
bool end_requested()
{
    MSG quit;
    // Looking also lets messages that other threads send in (WM_ENDSESSION) through.
    if (PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        // Put back for the message loop, which ends with it.
        PostQuitMessage(static_cast<int>(quit.wParam));
        return true;
    }
    return shut_down;
}

// An elevated program gets no message from a program with lower rights, such as the shell's
// announcement of a restarted taskbar, unless it lets it through.
void let_taskbar_restart_through(HWND window)
{
    using ChangeFilterEx = BOOL(WINAPI*)(HWND, UINT, DWORD, void*);
    const auto change_filter = system_function<ChangeFilterEx>(L"user32.dll", "ChangeWindowMessageFilterEx");
    if (change_filter != nullptr && taskbar_created != 0) {
        change_filter(window, taskbar_created, MESSAGE_FILTER_ALLOW, nullptr);
    }
}

static_assert(MESSAGE_APP_FIRST == WM_APP, "private messages start at WM_APP");

// Makes the listener, asking for another port while this one is taken. False when the user gave
// up (the settings dialog was cancelled) or the program is to end (end_requested).
bool start_listening(HWND window)
{
    attach_server(window);
    while (!restart_listener(port)) {
        show_startup_message(TEXT_PORT_IN_USE, TEXT_ERROR_TITLE);
        if (end_requested()) {
            return false;
        }
        // No owner: creation has not finished. Another port is put to use by the dialog, which
        // stays open while the port typed is taken too; the same port is simply tried again.
        SettingsChoice choice = {port, change_port};
        const INT_PTR chosen = show_settings_dialog(instance, nullptr, &choice);
        if (end_requested() || chosen != IDOK) {
            return false;
        }
        if (listening()) {
            return true;
        }
    }
    return true;
}

void on_create(HWND window)
{
    if (!open_cd_device(window)) {
        fatal_startup_error(window, TEXT_NO_AUDIO_CD);
        return;
    }
    WSADATA data;
    if (WSAStartup(WINSOCK_VERSION_2_2, &data) != 0) {
        fatal_startup_error(window, TEXT_NO_TCPIP);
        return;
    }
    sockets_started = true;
    if (!start_listening(window)) {
        // Asked to end meanwhile: it ends without another word. (A WM_CLOSE has destroyed the
        // window already, and with it shut everything down; a quit has not.)
        if (end_requested()) {
            shut_down_everything(window);
            return;
        }
        fatal_startup_error(window, TEXT_CANNOT_SET_UP);
        return;
    }
    let_taskbar_restart_through(window);
    announce_tray(window);
    SetTimer(window, TIMER_REFRESH, REFRESH_PERIOD_MS, nullptr);
    timer_started = true;
    set_remembered_mode(MCI_MODE_STOP);
}

// The window's handling of one message.
void carry_out_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_CREATE:
        on_create(window);
        break;
    case WM_DESTROY:
        shut_down_everything(window);
        break;
    case WM_ENDSESSION:
        // The session ends: after this returns the process may be ended without another message.
        // (WM_QUERYENDSESSION before it is answered at once: the program never holds up a logoff.)
        if (wparam != FALSE) {
            shut_down_everything(window);
        }
        break;
    case WM_DPICHANGED:
    case WM_SETTINGCHANGE:
    case WM_DISPLAYCHANGE:
        // Another scale: the notification area shows its icons at another size.
        rescale_tray(window);
        break;
    case WM_COMMAND:
        if (LOWORD(wparam) >= CMD_FIRST && LOWORD(wparam) <= CMD_LAST) {
            on_command(window, LOWORD(wparam), static_cast<int32_t>(lparam), REPLY_TO_CURRENT);
        }
        break;
    case WM_CLIENT_COMMAND:
        if (LOWORD(wparam) >= CMD_FIRST && LOWORD(wparam) <= CMD_LAST) {
            on_command(window, LOWORD(wparam), static_cast<int32_t>(lparam), HIWORD(wparam));
        }
        break;
    case WM_TIMER:
        on_refresh_timer(window);
        break;
    case MM_MCINOTIFY:
        on_mci_notify(wparam);
        break;
    case WM_TRAY_NOTIFY:
        on_tray_notify(window, lparam);
        break;
    case WM_TRAY_MENU:
        on_tray_menu(window, wparam);
        break;
    case WM_CONNECTION_ENDED:
        on_connection_ended(wparam, lparam);
        break;
    case WM_COMMANDS_TAKEN:
        on_commands_taken(wparam, lparam);
        break;
    default:
        break;
    }
}

void route(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    // Nobody waits behind a drive that cannot play: a command that acts on the drive ends a play
    // still being tried, so only the newest play is tried. What only reads waits its turn.
    if (acts_on_drive(message, wparam, lparam)) {
        give_way(window);
    }
    if (!keep_waiting(message, wparam, lparam)) {
        carry_out_message(window, message, wparam, lparam);
    }
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    // A restarted taskbar has forgotten every icon.
    if (message == taskbar_created && taskbar_created != 0) {
        announce_tray(window);
    }
    route(window, message, wparam, lparam);
    if (message == WM_QUERYENDSESSION) {
        return TRUE;
    }
    // Every message goes on to the default procedure, handled or not: it does nothing for the
    // program's own, and the system's (WM_CLOSE destroying the window, above all) keep their meaning.
    return DefWindowProcA(window, message, wparam, lparam);
}

}  // namespace

int run_program(HINSTANCE module)
{
    // A second copy says so and ends, before it touches anything. A first copy that runs elevated,
    // or as another user in this logon session, made the mutex where this one may not open it:
    // the call fails with ERROR_ACCESS_DENIED, which also says that it exists (CreateMutex). Any
    // other failure to make it lets the program run.
    const HANDLE one_copy = CreateMutexW(nullptr, FALSE, ONE_COPY_MUTEX);
    const DWORD made = GetLastError();
    if (made == ERROR_ALREADY_EXISTS || (one_copy == nullptr && made == ERROR_ACCESS_DENIED)) {
        show_startup_message(TEXT_ALREADY_RUNNING, TEXT_ERROR_TITLE);
        if (one_copy != nullptr) {
            CloseHandle(one_copy);
        }
        return 0;
    }
    // The manifest asks for the themed controls; this makes sure their library is loaded.
    InitCommonControls();
    WNDCLASSA window_class = {};
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = window_procedure;
    window_class.hInstance = module;
    window_class.hIcon = LoadIconA(module, MAKEINTRESOURCEA(IDI_IDLE));
    window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_MENU + 1);
    window_class.lpszClassName = MAIN_WINDOW_CLASS;
    RegisterClassA(&window_class);
    taskbar_created = RegisterWindowMessageA("TaskbarCreated");

    locate_settings();
    port = read_port();
    instance = module;

    const HWND window = CreateWindowExA(WS_EX_TOOLWINDOW, MAIN_WINDOW_CLASS, MAIN_WINDOW_TITLE, WS_OVERLAPPEDWINDOW,
        CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, nullptr, nullptr, module, nullptr);
    ShowWindow(window, SW_HIDE);
    UpdateWindow(window);

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    // A quit that another program posted ends the loop with the window still there: the drive,
    // the icon and the port go all the same.
    if (!shut_down && IsWindow(window)) {
        DestroyWindow(window);
    }
    // Gone for the user (no window, icon, drive or listener): a new copy may start while the
    // connection the stop ended gets its last moment.
    if (one_copy != nullptr) {
        CloseHandle(one_copy);
    }
    end_sockets();
    return static_cast<int>(message.wParam);
}
