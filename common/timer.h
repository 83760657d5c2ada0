#pragma once
// The one way the program starts a timer of its window. Every timer it starts carries work that
// must not stall for good when the system refuses the timer (a full desktop heap, a quota): the
// caller checks the answer and does the work at once instead. Windows-side tests link their own
// definition, which can refuse on demand, in place of this file's.
#include <windows.h>

// SetTimer on a window of this thread; false when the system refused it.
bool start_timer(HWND window, UINT_PTR timer, UINT period_ms, TIMERPROC procedure);
