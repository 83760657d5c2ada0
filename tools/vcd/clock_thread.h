#pragma once
// The thread that ticks the drive's clock while a device is open.
#include <windows.h>

struct ClockThread {
    HANDLE thread;
    HANDLE stop;
};

void start_clock();
// Takes the running clock thread, if any, out of the drive's state for join_clock.
ClockThread detach_clock();
// Called without drive_lock held: the thread may be waiting for it.
void join_clock(ClockThread clock);
