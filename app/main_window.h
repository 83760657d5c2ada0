#pragma once
// The hidden main window: it owns the program's lifetime, and every command reaches it.
#include <windows.h>

#include <atomic>

// Recorded as soon as its creation begins, because a worker started during creation may already
// post commands to it. Written by the main thread; read by the connection worker.
extern std::atomic<HWND> main_window;
// The module, for icons and dialog templates.
extern HINSTANCE instance;

// Registers the class, creates the hidden window and runs the message loop; returns the exit code.
int run_program(HINSTANCE module);
