#pragma once
// The tests that link tests/windows/refusing_timer.cpp start the program's timers through it
// instead of common/timer.cpp: while a Refusal lives, every timer is refused, as by a system out
// of resources, so that the paths that must not stall for good without their timer can be tried.
#include <windows.h>

extern bool timers_refused;

struct Refusal {
    Refusal() { timers_refused = true; }
    ~Refusal() { timers_refused = false; }
    Refusal(const Refusal&) = delete;
    Refusal& operator=(const Refusal&) = delete;
};
