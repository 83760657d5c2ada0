// Takes the place of common/timer.cpp in the tests that link it (the linker then leaves the
// library's definition out).
#include "tests/windows/refusing_timer.h"

#include "common/timer.h"

bool timers_refused = false;

bool start_timer(HWND window, UINT_PTR timer, UINT period_ms, TIMERPROC procedure)
{
    return !timers_refused && SetTimer(window, timer, period_ms, procedure) != 0;
}
