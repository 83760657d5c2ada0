// desktop.exe: stands in for the taskbar and for the user in the end-to-end tests.
//
// It owns a top-level "Shell_TrayWnd" window, so Wine's shell32 hands it every notification-icon
// call as WM_COPYDATA; it keeps the icons' state and a log of the calls. It reads one command a
// line from stdin (UTF-8) and answers each with exactly one line on stdout (UTF-8) that starts
// with "ok" or "error <reason>". README.md lists the commands and their replies.
//
// Threads: the main thread owns the window and pumps its messages; a reader thread reads stdin
// and hands each line to the window with SendMessage, so every command and every notification
// runs on the window thread and the state of every file here needs no lock. Only the reader writes
// stdout.

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "tools/desktop/commands.h"
#include "tools/desktop/desktop.h"
#include "tools/desktop/menu_reader.h"
#include "tools/desktop/taskbar.h"

HWND tray_window = nullptr;

namespace {

constexpr wchar_t TRAY_CLASS[] = L"Shell_TrayWnd";

LRESULT CALLBACK tray_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_COPYDATA: {
        const COPYDATASTRUCT* data = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
        if (take_menu_snapshot(data)) {
            return TRUE;
        }
        return on_notify_icon(data->dwData, data);
    }
    case WM_RUN_COMMAND:
        run_command(reinterpret_cast<const char*>(lparam));
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

// The reader thread's: replies and the start-up lines go out through it alone.
HANDLE output = nullptr;

void write_line(const char* text)
{
    DWORD written = 0;
    size_t length = strlen(text);
    WriteFile(output, text, DWORD(length), &written, nullptr);
    WriteFile(output, "\n", 1, &written, nullptr);
    FlushFileBuffers(output);
}

// wait-window <timeout_ms> <class|-> [<title>]: polls find-visible here, so that the window
// thread keeps answering the shell meanwhile.
void wait_window(const char* rest)
{
    long long timeout = 0;
    if (!next_number(&rest, &timeout)) {
        write_line("error usage: wait-window <timeout_ms> <class|-> [<title>]");
        return;
    }
    char find_line[LINE_MAX];
    snprintf(find_line, sizeof find_line, "find-visible%s", rest);
    ULONGLONG deadline = GetTickCount64() + ULONGLONG(timeout);
    for (;;) {
        SendMessageW(tray_window, WM_RUN_COMMAND, 0, reinterpret_cast<LPARAM>(find_line));
        if (strncmp(reply.text, "ok 0x", 5) == 0) {
            // The first match only.
            char* space = strchr(reply.text + 3, ' ');
            if (space != nullptr) {
                *space = '\0';
            }
            write_line(reply.text);
            return;
        }
        if (strncmp(reply.text, "error", 5) == 0) {
            write_line(reply.text);
            return;
        }
        if (GetTickCount64() >= deadline) {
            write_line("error timeout");
            return;
        }
        Sleep(POLL_MS);
    }
}

void handle_line(char* line)
{
    size_t length = strlen(line);
    while (length > 0 && (line[length - 1] == '\r' || line[length - 1] == ' ')) {
        line[--length] = '\0';
    }
    if (strncmp(line, "wait-window", 11) == 0 && (line[11] == ' ' || line[11] == '\0')) {
        wait_window(line + 11);
        return;
    }
    SendMessageW(tray_window, WM_RUN_COMMAND, 0, reinterpret_cast<LPARAM>(line));
    write_line(reply.text);
}

DWORD WINAPI read_commands(void*)
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    static char line[LINE_MAX];
    size_t length = 0;
    bool overlong = false;
    for (;;) {
        char chunk[4096];
        DWORD got = 0;
        if (!ReadFile(input, chunk, sizeof chunk, &got, nullptr) || got == 0) {
            break;
        }
        for (DWORD i = 0; i < got; i++) {
            if (chunk[i] != '\n') {
                if (length + 1 < sizeof line) {
                    line[length++] = chunk[i];
                } else {
                    overlong = true;
                }
                continue;
            }
            line[length] = '\0';
            if (overlong) {
                write_line("error line too long");
            } else {
                handle_line(line);
                if (strcmp(line, "quit") == 0) {
                    PostMessageW(tray_window, WM_CLOSE, 0, 0);
                    return 0;
                }
            }
            length = 0;
            overlong = false;
        }
    }
    // The test has gone: so does the taskbar.
    PostMessageW(tray_window, WM_CLOSE, 0, 0);
    return 0;
}

}  // namespace

int main()
{
    output = GetStdHandle(STD_OUTPUT_HANDLE);
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = tray_procedure;
    window_class.hInstance = instance;
    window_class.lpszClassName = TRAY_CLASS;
    if (!RegisterClassW(&window_class)) {
        write_line("error cannot register the window class");
        return 1;
    }
    // Wine's explorer has a hidden "Shell_TrayWnd" of its own; shell32 talks to the first one in
    // z-order. A topmost window comes before every other top-level window, so this one is first.
    tray_window = CreateWindowExW(
        WS_EX_TOPMOST | WS_EX_TOOLWINDOW, TRAY_CLASS, L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, instance, nullptr);
    if (tray_window == nullptr) {
        write_line("error cannot create the window (is DISPLAY set?)");
        return 1;
    }
    HWND first = FindWindowExW(nullptr, nullptr, TRAY_CLASS, nullptr);
    if (first != tray_window) {
        char text[128];
        snprintf(text, sizeof text, "error another Shell_TrayWnd comes first: 0x%llx", handle_value(first));
        write_line(text);
        return 1;
    }
    char ready[128];
    snprintf(ready, sizeof ready, "ok desktop hwnd=0x%llx pid=%lu", handle_value(tray_window), GetCurrentProcessId());
    write_line(ready);

    HANDLE reader = CreateThread(nullptr, 0, read_commands, nullptr, 0, nullptr);
    if (reader == nullptr) {
        write_line("error cannot start the reader");
        return 1;
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    // The reader may still sit in ReadFile: the process ends without waiting for it.
    ExitProcess(0);
}
