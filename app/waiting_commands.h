#pragma once
// Commands that wait their turn behind a play being tried. The drive may take a play only after
// seconds (its door closing, the disc loading); the main thread goes on with its message loop
// meanwhile, so the menu, the dialogs, painting and the refresh tick go on, and every command
// that arrives is kept here, then carried out in the order it came once the play has been tried.
// docs/design.md, "A play being tried", tells the whole of it. Main thread only.
#include <windows.h>

// Keeps the message when it is a command (or the worker's hand-over or mark, which must follow
// the commands before them) and a play is being tried or commands still wait; returns whether it
// was kept. The exit is never kept: it ends the program at once.
bool keep_waiting(UINT message, WPARAM wparam, LPARAM lparam);
// Carries out what waits, in order, until a command begins a play that must be tried again or
// nothing waits: each message goes to the window procedure again, as at its arrival, and
// keep_waiting lets that one through. Input, paint and other programs' sent messages are let in between (it goes on
// from a timer).
void release_waiting(HWND window);
// The same, from the message loop once input and paint are handled.
void release_waiting_soon(HWND window);
// The program ends: what waits is dropped.
void drop_waiting(HWND window);
