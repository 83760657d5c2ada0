#pragma once
// Carries out the player commands, the refresh tick and the device's completion notice, on the
// main thread, one at a time and in queue order.
#include <windows.h>

#include "app/shell.h"

// WM_COMMAND with one of the program's command identifiers.
void on_command(HWND window, WPARAM wparam, LPARAM lparam);
void on_refresh_timer(HWND window);
void on_mci_notify(WPARAM wparam);
