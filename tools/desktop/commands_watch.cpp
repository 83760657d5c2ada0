// Watching another program's window answer: a thread of its own sends it WM_NULL every 20 ms with
// SendMessageTimeout and keeps the slowest answer, while the window thread goes on with commands
// (a click, a menu) meanwhile. One watch at a time. Answers slower than the watch's threshold are
// kept with the moment they began, so that a long run can set apart the ones it knows the cause
// of (under Xvfb, a dialog's close keeps the window's thread some 2 s) and judge the rest.
#include <windows.h>

#include <atomic>

#include "tools/desktop/commands.h"
#include "tools/desktop/desktop.h"

namespace {

constexpr DWORD PING_INTERVAL_MS = 20;
// A window that has not answered in this long counts as a timeout (its wait is the slowest).
constexpr UINT PING_TIMEOUT_MS = 5000;
// Slow answers kept between two `watch-slow`; more are counted, not kept.
constexpr unsigned SLOW_KEPT = 256;

struct SlowAnswer {
    unsigned began_ms;  // since the watch began
    unsigned took_us;
};

// Written by the watching thread, read by the window thread once it has ended (or, for `watch`,
// while it runs: hence atomics, and the lock around the slow answers).
struct Watch {
    HWND target;
    HANDLE thread;
    HANDLE stop;
    LARGE_INTEGER began;
    unsigned slow_us;  // 0: none kept
    std::atomic<unsigned> pings;
    std::atomic<unsigned> timeouts;
    std::atomic<unsigned> slowest_us;
    std::atomic<bool> gone;
    CRITICAL_SECTION lock;
    SlowAnswer slow[SLOW_KEPT];
    unsigned slow_count;  // since the last `watch-slow`, kept or not
};
Watch watch = {};
LARGE_INTEGER frequency;

unsigned ms_since_began(const LARGE_INTEGER& now)
{
    return static_cast<unsigned>((now.QuadPart - watch.began.QuadPart) * 1000 / frequency.QuadPart);
}

void keep_slow_answer(const LARGE_INTEGER& before, unsigned elapsed_us)
{
    EnterCriticalSection(&watch.lock);
    if (watch.slow_count < SLOW_KEPT) {
        watch.slow[watch.slow_count] = {ms_since_began(before), elapsed_us};
    }
    ++watch.slow_count;
    LeaveCriticalSection(&watch.lock);
}

DWORD WINAPI watch_window(void*)
{
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
        if (watch.slow_us != 0 && elapsed_us >= watch.slow_us) {
            keep_slow_answer(before, elapsed_us);
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
    long long slow_ms = 0;
    char word[32];
    if (next_word(&args.rest, word, sizeof word) && (!parse_number(word, &slow_ms) || slow_ms < 1)) {
        reply_error("usage: watch <hwnd> [<slow_ms>]");
        return;
    }
    QueryPerformanceFrequency(&frequency);
    watch.target = args.window;
    watch.slow_us = static_cast<unsigned>(slow_ms * 1000);
    watch.pings.store(0);
    watch.timeouts.store(0);
    watch.slowest_us.store(0);
    watch.gone.store(false);
    watch.slow_count = 0;
    InitializeCriticalSection(&watch.lock);
    QueryPerformanceCounter(&watch.began);
    watch.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    watch.thread = CreateThread(nullptr, 0, watch_window, nullptr, 0, nullptr);
    if (watch.thread == nullptr) {
        CloseHandle(watch.stop);
        DeleteCriticalSection(&watch.lock);
        watch.stop = nullptr;
        reply_error("no thread");
        return;
    }
    reply_add("ok");
}

void cmd_watch_slow(Args&)
{
    if (watch.thread == nullptr) {
        reply_error("not watching");
        return;
    }
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    EnterCriticalSection(&watch.lock);
    const unsigned count = watch.slow_count;
    reply_add("ok now_ms=%u pings=%u %u", ms_since_began(now), watch.pings.load(), count);
    for (unsigned i = 0; i < count && i < SLOW_KEPT; ++i) {
        reply_add("%s%u:%.1f", i == 0 ? " " : "|", watch.slow[i].began_ms, watch.slow[i].took_us / 1000.0);
    }
    watch.slow_count = 0;
    LeaveCriticalSection(&watch.lock);
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
    DeleteCriticalSection(&watch.lock);
    watch.thread = nullptr;
    watch.stop = nullptr;
    add_figures();
}
