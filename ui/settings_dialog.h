#pragma once
// The settings dialog: this machine's address and the control server's port.
#include <windows.h>

// Moves a dialog next to the mouse cursor, inside the work area's right and bottom edges.
void place_near_cursor(HWND dialog);

// A modal dialog is shown only once its message loop finds the queue empty, which a client
// pipelining commands can put off for as long as it sends: show it now.
void show_at_once(HWND dialog);

// Modal; IDOK after OK, IDCANCEL after cancel. A changed port restarts the listener and is saved.
INT_PTR show_settings_dialog(HWND owner);
