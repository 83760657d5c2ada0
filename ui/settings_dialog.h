#pragma once
// The settings dialog: this machine's address and the control server's port.
#include <windows.h>

// Modal; IDOK after OK, IDCANCEL after cancel. A changed port restarts the listener and is saved.
INT_PTR show_settings_dialog(HWND owner);
