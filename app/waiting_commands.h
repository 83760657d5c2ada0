#pragma once
// Commands that wait their turn behind a play being tried. The drive may take a play only after
// seconds (its door closing, the disc loading); the main thread goes on with its message loop
// meanwhile, so the menu, the dialogs, painting and the refresh tick go on. A command that acts on
// the drive ends the play being tried (the window procedure has it give way first, see
// acts_on_drive); a command that only reads is kept here, then carried out in the order it came
// once the play has been tried. docs/design.md, "A play being tried", tells the whole of it. Main
// thread only.
#include <windows.h>

// Whether the message acts on the drive: every player command but the exit (play, a track, stop,
// pause and resume, next, previous, eject, close), and the left click on the icon. A play still
// being tried gives way to it.
bool acts_on_drive(UINT message, WPARAM wparam, LPARAM lparam);
// Whether such a message waits here: a play begun now would give way to it at once.
bool drive_command_waits();
// Keeps the message when it is a command (or the worker's hand-over or mark, which must follow
// the commands before them) and a play is being tried or commands still wait; returns whether it
// was kept. Never kept: the exit, which ends the program at once, and the dialogs, which the
// person at the machine asked for and which touch nothing until a choice is made.
bool keep_waiting(UINT message, WPARAM wparam, LPARAM lparam);
// Carries out what waits, in order, until a command begins a play that must be tried again or
// nothing waits: each message goes to the window procedure again, as at its arrival, and
// keep_waiting lets that one through. Input, paint and other programs' sent messages are let in
// between (it goes on from a timer).
void release_waiting(HWND window);
// The same, from the message loop once input and paint are handled; at once when the system
// refuses the timer.
void release_waiting_soon(HWND window);
// The program ends: what waits is dropped.
void drop_waiting(HWND window);
