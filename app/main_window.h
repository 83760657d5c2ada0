#pragma once
// The hidden main window: it owns the program's lifetime, and every command reaches it.
#include <windows.h>

// The hidden window itself is the one the window procedure is given; the worker posts to the
// window the server was attached to.

// Registers the class, creates the hidden window and runs the message loop; returns the exit code.
int run_program(HINSTANCE module);
