// trayprobe.exe: a small tray program that checks the test desktop itself. It does what a tray
// program does through the same ANSI interfaces and code page as the product (an icon with a
// tip, a popup menu with accelerators on a right click, a dialog, a message box, adding its icon
// again on "TaskbarCreated"), and prints one line on stdout for each thing that reached it. Its
// "stop" picture is given at the small icon size, its others at LoadIcon's, and its first line
// names both sizes, so that the desktop's report of a picture's size can be checked.

#include <windows.h>
#include <shellapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "res/resource.h"

namespace {

constexpr UINT WM_PROBE_TRAY = 2024;
constexpr UINT WM_PROBE_MENU = 2025;
constexpr UINT ICON_ID = 1;
constexpr int ICON_PLAYING = 1;
constexpr int ICON_IDLE = 2;
constexpr int DIALOG_SETTINGS = 10;
// The product's own control identifiers, so that the tests read them the same way.
constexpr int ID_EDIT = IDC_PORT;
constexpr int ID_COMBO = IDC_TRACKS;

constexpr UINT CMD_SETTINGS = 40001;
constexpr UINT CMD_EXIT = 40002;
constexpr UINT CMD_PLAY = 40003;
constexpr UINT CMD_STOP = 40004;
constexpr UINT CMD_MESSAGE = 40011;

HWND probe_window = nullptr;
UINT taskbar_created = 0;

void say(const char* format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    strcat(line, "\n");
    DWORD written = 0;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    WriteFile(out, line, DWORD(strlen(line)), &written, nullptr);
    FlushFileBuffers(out);
}

// The sources are UTF-8; the ANSI interfaces want the code page's bytes.
const char* ansi(const char* utf8)
{
    static char buffers[4][512];
    static int next = 0;
    char* out = buffers[next];
    next = (next + 1) % 4;
    wchar_t wide[512];
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, 512);
    WideCharToMultiByte(CP_ACP, 0, wide, -1, out, 512, nullptr, nullptr);
    return out;
}

const char* utf8(const char* ansi_text)
{
    static char out[1024];
    wchar_t wide[512];
    MultiByteToWideChar(CP_ACP, 0, ansi_text, -1, wide, 512);
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, sizeof out, nullptr, nullptr);
    return out;
}

// The picture at the large icon size (LoadIcon's, as the product loads it) or at the small one
// that the notification area shows, so that the desktop's report of the size can be checked.
enum class IconSize { large, small };

bool notify(DWORD code, int picture, IconSize size, const char* tip_utf8)
{
    NOTIFYICONDATAA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = NOTIFYICONDATAA_V1_SIZE;
    data.hWnd = probe_window;
    data.uID = ICON_ID;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = WM_PROBE_TRAY;
    const HINSTANCE module = GetModuleHandleA(nullptr);
    HICON small_icon = nullptr;
    if (size == IconSize::small) {
        small_icon = static_cast<HICON>(LoadImageA(module, MAKEINTRESOURCEA(picture), IMAGE_ICON,
            GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
        data.hIcon = small_icon;
    } else {
        data.hIcon = LoadIconA(module, MAKEINTRESOURCEA(picture));
    }
    lstrcpynA(data.szTip, ansi(tip_utf8), sizeof data.szTip);
    const bool done = Shell_NotifyIconA(code, &data) != FALSE;
    if (small_icon != nullptr) {
        DestroyIcon(small_icon);  // the shell keeps a copy of its own
    }
    return done;
}

void remove_icon()
{
    NOTIFYICONDATAA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = NOTIFYICONDATAA_V1_SIZE;
    data.hWnd = probe_window;
    data.uID = ICON_ID;
    Shell_NotifyIconA(NIM_DELETE, &data);
}

INT_PTR CALLBACK settings_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        SetDlgItemTextA(dialog, ID_EDIT, "5963");
        SendDlgItemMessageA(dialog, ID_COMBO, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(ansi("1曲目")));
        SendDlgItemMessageA(dialog, ID_COMBO, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(ansi("2曲目")));
        SendDlgItemMessageA(dialog, ID_COMBO, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("a|b%c"));
        SendDlgItemMessageA(dialog, ID_COMBO, CB_SETCURSEL, 0, 0);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wparam) == ID_COMBO && HIWORD(wparam) == CBN_SELCHANGE) {
            say("selchange %d", int(SendDlgItemMessageA(dialog, ID_COMBO, CB_GETCURSEL, 0, 0)));
            return TRUE;
        }
        if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
            char text[256];
            GetDlgItemTextA(dialog, ID_EDIT, text, sizeof text);
            say("dialog %s edit=%s combo=%d", LOWORD(wparam) == IDOK ? "ok" : "cancel", utf8(text),
                int(SendDlgItemMessageA(dialog, ID_COMBO, CB_GETCURSEL, 0, 0)));
            EndDialog(dialog, LOWORD(wparam));
            return TRUE;
        }
        return FALSE;
    }
    return FALSE;
}

void show_menu(HWND window)
{
    HMENU menu = CreatePopupMenu();
    AppendMenuA(menu, MF_STRING, CMD_PLAY, ansi("再生(&P)"));
    AppendMenuA(menu, MF_STRING, CMD_STOP, ansi("停止(&S)"));
    AppendMenuA(menu, MF_STRING, CMD_SETTINGS, ansi("設定(&O)"));
    AppendMenuA(menu, MF_STRING, CMD_MESSAGE, ansi("メッセージ(&M)"));
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING, CMD_EXIT, ansi("終了(&X)"));
    POINT point{};
    GetCursorPos(&point);
    say("menu %ld %ld", point.x, point.y);
    SetForegroundWindow(window);
    TrackPopupMenu(menu, TPM_RIGHTBUTTON, point.x, point.y, 0, window, nullptr);
    PostMessageA(window, WM_NULL, 0, 0);
    DestroyMenu(menu);
    say("menu-done");
}

void on_command(HWND window, UINT id)
{
    say("command %u", id);
    switch (id) {
    case CMD_PLAY:
        notify(NIM_MODIFY, ICON_PLAYING, IconSize::large, "再生中");
        break;
    case CMD_STOP:
        notify(NIM_MODIFY, ICON_IDLE, IconSize::small, "停止");
        break;
    case CMD_SETTINGS:
        DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(DIALOG_SETTINGS), window, settings_procedure, 0);
        break;
    case CMD_MESSAGE:
        MessageBoxA(window, ansi("テスト"), "Error", MB_OK);
        say("message-done");
        break;
    case CMD_EXIT:
        DestroyWindow(window);
        break;
    }
}

LRESULT CALLBACK probe_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == taskbar_created && taskbar_created != 0) {
        say("readded %d", notify(NIM_ADD, ICON_IDLE, IconSize::large, "停止") ? 1 : 0);
        return 0;
    }
    switch (message) {
    case WM_PROBE_TRAY:
        say("tray %u %u", unsigned(wparam), unsigned(lparam));
        if (lparam == WM_RBUTTONDOWN) {
            PostMessageA(window, WM_PROBE_MENU, 0, 0);
        }
        return 0;
    case WM_PROBE_MENU:
        show_menu(window);
        return 0;
    case WM_COMMAND:
        on_command(window, LOWORD(wparam));
        return 0;
    case WM_DESTROY:
        remove_icon();
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

}  // namespace

int main()
{
    taskbar_created = RegisterWindowMessageA("TaskbarCreated");
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = probe_procedure;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.lpszClassName = "QelProbe";
    RegisterClassA(&window_class);
    probe_window = CreateWindowExA(0, "QelProbe", ansi("プローブ"), WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
        nullptr, window_class.hInstance, nullptr);
    if (probe_window == nullptr) {
        say("error no window");
        return 1;
    }
    const bool added = notify(NIM_ADD, ICON_PLAYING, IconSize::large, "プローブ 再生中");
    say("ready 0x%llx added=%d large=%dx%d small=%dx%d", (unsigned long long)(uintptr_t)probe_window, added ? 1 : 0,
        GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), GetSystemMetrics(SM_CXSMICON),
        GetSystemMetrics(SM_CYSMICON));
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    say("exit");
    return 7;
}
