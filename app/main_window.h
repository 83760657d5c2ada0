#pragma once
// The hidden main window: it owns the program's lifetime, and every command reaches it.
#include <windows.h>

// The hidden main window, recorded as soon as its creation begins, and the module (for icons and
// dialog templates). Main thread only: the worker posts to the window it was given when the
// server was attached.
extern HWND main_window;
extern HINSTANCE instance;

// Registers the class, creates the hidden window and runs the message loop; returns the exit code.
int run_program(HINSTANCE module);
