#pragma once
// The settings dialog: this machine's address and the control server's port.
#include <windows.h>

// In: the port now, and what puts another port to use. Out, after OK: the port the user chose
// (the same one when unchanged).
struct SettingsChoice {
    int port;
    // Serves on the port and saves it; false when the port cannot be bound (then nothing has
    // changed). Called while the dialog is open, which owns any message it shows.
    bool (*use_port)(HWND dialog, int port);
};

// Modal; IDOK after OK, IDCANCEL after cancel. A number is taken as typed (its leading digits, no
// range check); any other text is looked up as a service name. The dialog stays open, with a
// message and the text as typed, when there is no such service, when the port would be 0 (which
// would let the system pick one nobody knows), and when use_port cannot bind a new port.
INT_PTR show_settings_dialog(HINSTANCE module, HWND owner, SettingsChoice* choice);
