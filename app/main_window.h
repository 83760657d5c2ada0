#pragma once
// The hidden main window: it owns the program's lifetime, and every command reaches it.
#include <windows.h>

#include "app/shell.h"

// Registers the class, creates the hidden window and runs the message loop; returns the exit code.
int run_program(HINSTANCE module);
