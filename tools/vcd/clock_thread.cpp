#include "tools/vcd/clock_thread.h"

#include "tools/vcd/drive_clock.h"
#include "tools/vcd/drive_settings.h"
#include "tools/vcd/drive_state.h"

namespace {

constexpr DWORD CLOCK_TICK_MS = 20;

ClockThread running_clock;

// Each tick re-reads disc.ini when it changed, ends a play that has reached its end and posts
// the notifications that caused.
DWORD WINAPI clock_main(void* stop_event)
{
    while (WaitForSingleObject(static_cast<HANDLE>(stop_event), CLOCK_TICK_MS) == WAIT_TIMEOUT) {
        EnterCriticalSection(&drive_lock);
        const uint64_t now = now_ms();
        refresh_settings(false, now);
        advance(now);
        flush_notes();
        LeaveCriticalSection(&drive_lock);
    }
    return 0;
}

}  // namespace

void start_clock()
{
    if (running_clock.thread != nullptr) {
        return;
    }
    running_clock.stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    running_clock.thread = CreateThread(nullptr, 0, clock_main, running_clock.stop, 0, nullptr);
}

ClockThread detach_clock()
{
    const ClockThread clock = running_clock;
    running_clock = ClockThread{};
    return clock;
}

void join_clock(ClockThread clock)
{
    if (clock.thread == nullptr) {
        return;
    }
    SetEvent(clock.stop);
    WaitForSingleObject(clock.thread, INFINITE);
    CloseHandle(clock.thread);
    CloseHandle(clock.stop);
}
