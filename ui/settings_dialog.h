#pragma once
// The settings dialog: this machine's address and the control server's port.
#include <windows.h>

// In: the port now. Out, after OK: the port the user chose (the same one when unchanged).
struct SettingsChoice {
    int port;
};

// Modal; IDOK after OK, IDCANCEL after cancel. A number is taken as typed (its leading digits, no
// range check); any other text is looked up as a service name, and the dialog stays open with a
// message when there is no such service.
INT_PTR show_settings_dialog(HINSTANCE module, HWND owner, SettingsChoice* choice);
