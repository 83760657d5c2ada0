#pragma once
// What both dialogs share: one dialog procedure over a small table of handlers, shown modally
// next to the mouse cursor.
#include <windows.h>

struct DialogHandlers {
    // Fills the controls, once the dialog is placed and shown.
    void (*on_init)(HWND dialog);
    // OK: ends the dialog with IDOK, or leaves it open (after telling the user why).
    void (*on_ok)(HWND dialog);
};

// Modal, owned by owner (none during start-up); IDOK or IDCANCEL.
INT_PTR show_dialog(HWND owner, int template_id, const DialogHandlers& handlers);
