// Watching another program's window answer: a thread of its own sends it WM_NULL every 20 ms with
// SendMessageTimeout and keeps the slowest answer, while the window thread goes on with commands
// (a click, a menu) meanwhile. One watch at a time.
#include <windows.h>

#include <atomic>

#include "tools/desktop/commands.h"
#include "tools/desktop/desktop.h"

namespace {

constexpr DWORD PING_INTERVAL_MS = 20;
// A window that has not answered in this long counts as a timeout (its wait is the slowest).
constexpr UINT PING_TIMEOUT_MS = 5000;

// Written by the watching thread, read by the window thread once it has ended (or, for `watch`,
// while it runs: hence atomics).
struct Watch {
    HWND target;
    HANDLE thread;
    HANDLE stop;
    std::atomic<unsigned> pings;
    std::atomic<unsigned> timeouts;
    std::atomic<unsigned> slowest_us;
    std::atomic<bool> gone;
};
Watch watch = {};

DWORD WINAPI watch_window(void*)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    while (WaitForSingleObject(watch.stop, PING_INTERVAL_MS) == WAIT_TIMEOUT) {
        LARGE_INTEGER before;
        LARGE_INTEGER after;
        DWORD_PTR result = 0;
        QueryPerformanceCounter(&before);
        const LRESULT answered =
            SendMessageTimeoutW(watch.target, WM_NULL, 0, 0, SMTO_NORMAL, PING_TIMEOUT_MS, &result);
        const DWORD error = GetLastError();
        QueryPerformanceCounter(&after);
        const unsigned elapsed_us =
            static_cast<unsigned>((after.QuadPart - before.QuadPart) * 1000000 / frequency.QuadPart);
        ++watch.pings;
        if (elapsed_us > watch.slowest_us.load()) {
            watch.slowest_us.store(elapsed_us);
        }
        if (!answered) {
            if (error != ERROR_TIMEOUT || !IsWindow(watch.target)) {
                watch.gone.store(true);
                break;
            }
            ++watch.timeouts;
        }
    }
    return 0;
}

void add_figures()
{
    reply_add("ok pings=%u slowest_ms=%.1f timeouts=%u gone=%d", watch.pings.load(), watch.slowest_us.load() / 1000.0,
        watch.timeouts.load(), watch.gone.load() ? 1 : 0);
}

}  // namespace

void cmd_watch(Args& args)
{
    if (watch.thread != nullptr) {
        reply_error("already watching");
        return;
    }
    watch.target = args.window;
    watch.pings.store(0);
    watch.timeouts.store(0);
    watch.slowest_us.store(0);
    watch.gone.store(false);
    watch.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    watch.thread = CreateThread(nullptr, 0, watch_window, nullptr, 0, nullptr);
    if (watch.thread == nullptr) {
        CloseHandle(watch.stop);
        watch.stop = nullptr;
        reply_error("no thread");
        return;
    }
    reply_add("ok");
}

void cmd_watch_end(Args&)
{
    if (watch.thread == nullptr) {
        reply_error("not watching");
        return;
    }
    SetEvent(watch.stop);
    WaitForSingleObject(watch.thread, INFINITE);
    CloseHandle(watch.thread);
    CloseHandle(watch.stop);
    watch.thread = nullptr;
    watch.stop = nullptr;
    add_figures();
}
