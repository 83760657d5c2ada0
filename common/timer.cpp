#include "common/timer.h"

bool start_timer(HWND window, UINT_PTR timer, UINT period_ms, TIMERPROC procedure)
{
    return SetTimer(window, timer, period_ms, procedure) != 0;
}
