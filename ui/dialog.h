#pragma once
// What both dialogs share: one dialog procedure over a small table of handlers, shown modally
// next to the mouse cursor. Each dialog takes an in/out record of its own (its "choice"): what it
// starts from, and, after OK, what the user chose. The caller acts on the choice.
#include <windows.h>

struct DialogHandlers {
    // Fills the controls, once the dialog is placed and shown.
    void (*on_init)(HWND dialog, void* choice);
    // OK: true fills in the choice and ends the dialog with IDOK; false leaves it open (the
    // handler has told the user why).
    bool (*on_ok)(HWND dialog, void* choice);
};

// Modal, from the template in module, owned by owner (none during start-up); IDOK or IDCANCEL.
// The dialog is a wide (UTF-16) window, so its template's Japanese shows whatever the system's
// code page.
INT_PTR show_dialog(HINSTANCE module, HWND owner, int template_id, const DialogHandlers& handlers, void* choice);
