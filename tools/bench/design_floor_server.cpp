// The design's floor: the program's own threading with nothing else. A worker thread accepts and
// receives and posts one window message per line to a hidden window; the main thread answers each
// message with one send of "pause!". Its sockets are set up as the program's: Windows Sockets 2.2,
// a non-blocking connection that the worker waits on with WSAEventSelect, replies that wait for
// room. No device, no tray, no framing beyond finding LF. What
// qel.exe costs beyond this is the program's own; what this costs beyond wine_floor_server is the
// posted message and the second thread, under Wine both a round trip through its server.
//
//   design_floor_server PORT [LIFETIME_S]

#include "tools/bench/win_floor.h"

#include <atomic>

namespace {

constexpr UINT WM_LINE = WM_APP + 1;
constexpr UINT WM_ENDED = WM_APP + 2;
constexpr DWORD FULL_QUEUE_PAUSE_MS = 5;

HWND window = nullptr;
SOCKET listener = INVALID_SOCKET;
// Main thread only, once handed over by the worker's accept (the worker only receives on it).
std::atomic<SOCKET> client{INVALID_SOCKET};
HANDLE released = nullptr;
HANDLE readable = nullptr;

void post(UINT message, WPARAM wparam)
{
    while (!PostMessageA(window, message, wparam, 0)) {
        Sleep(FULL_QUEUE_PAUSE_MS);
    }
}

DWORD WINAPI worker(LPVOID)
{
    static char chunk[64 * 1024];
    for (;;) {
        const SOCKET socket = accept(listener, nullptr, nullptr);
        if (socket == INVALID_SOCKET) {
            continue;
        }
        win_floor::set_up_connection(socket, readable);
        client.store(socket);
        for (;;) {
            const int n = recv(socket, chunk, sizeof chunk, 0);
            if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
                WaitForSingleObject(readable, INFINITE);
                continue;
            }
            if (n <= 0) {
                break;
            }
            for (int i = 0; i < n; ++i) {
                if (chunk[i] == '\n') {
                    post(WM_LINE, 0);
                }
            }
        }
        // The replies to lines still queued go out first; then the main thread closes it.
        post(WM_ENDED, static_cast<WPARAM>(socket));
        WaitForSingleObject(released, INFINITE);
    }
}

LRESULT CALLBACK procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_LINE: {
        const SOCKET socket = client.load();
        if (socket != INVALID_SOCKET) {
            win_floor::send_all(socket, win_floor::REPLY, sizeof win_floor::REPLY - 1, true);
        }
        return 0;
    }
    case WM_ENDED:
        client.store(INVALID_SOCKET);
        closesocket(static_cast<SOCKET>(wparam));
        SetEvent(released);
        return 0;
    default:
        return DefWindowProcA(hwnd, message, wparam, lparam);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    long port = 0;
    long lifetime_s = 0;
    if (!win_floor::parse_arguments(argc, argv, "design_floor_server", &port, &lifetime_s)) {
        return 2;
    }
    win_floor::limit_lifetime(lifetime_s);
    // A hidden top-level window, as the program's main window.
    WNDCLASSA window_class = {};
    window_class.lpfnWndProc = procedure;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.lpszClassName = "DesignFloor";
    RegisterClassA(&window_class);
    window = CreateWindowExA(WS_EX_TOOLWINDOW, "DesignFloor", "design floor", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
        CW_USEDEFAULT, 0, 0, nullptr, nullptr, window_class.hInstance, nullptr);
    released = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    readable = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    listener = win_floor::start_listening(port);
    if (window == nullptr || listener == INVALID_SOCKET) {
        return 1;
    }
    CreateThread(nullptr, 0, worker, nullptr, 0, nullptr);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        DispatchMessageA(&message);
    }
    return 0;
}
