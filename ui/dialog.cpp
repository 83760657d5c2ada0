#include "ui/dialog.h"

namespace {

// What the dialog procedure keeps of one open dialog, in the dialog's user data.
struct OpenDialog {
    const DialogHandlers* handlers;
    void* choice;
};

// Moves a dialog next to the mouse cursor, inside the work area's right and bottom edges.
void place_near_cursor(HWND dialog)
{
    RECT work_area = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work_area, 0);
    RECT rect = {};
    GetWindowRect(dialog, &rect);
    POINT cursor = {};
    GetCursorPos(&cursor);
    const LONG width = rect.right - rect.left;
    const LONG height = rect.bottom - rect.top;
    LONG x = cursor.x;
    LONG y = cursor.y;
    if (x + width >= work_area.right) {
        x -= width;
    }
    if (y + height >= work_area.bottom) {
        y -= height;
    }
    SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

// Answers FALSE (not handled) to every message, as a dialog procedure may: the dialog manager's
// own handling (focus, default button, Escape) is all these dialogs need.
INT_PTR CALLBACK dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_INITDIALOG: {
        SetWindowLongPtrW(dialog, GWLP_USERDATA, lparam);
        place_near_cursor(dialog);
        // A modal dialog is shown only once its message loop finds the queue empty, which a
        // client pipelining commands can put off for as long as it sends: show it now.
        ShowWindow(dialog, SW_SHOW);
        const OpenDialog* open = reinterpret_cast<const OpenDialog*>(lparam);
        open->handlers->on_init(dialog, open->choice);
        break;
    }
    case WM_COMMAND: {
        const OpenDialog* open = reinterpret_cast<const OpenDialog*>(GetWindowLongPtrW(dialog, GWLP_USERDATA));
        if (LOWORD(wparam) == IDOK && open != nullptr) {
            if (open->handlers->on_ok(dialog, open->choice)) {
                EndDialog(dialog, IDOK);
            }
        } else if (LOWORD(wparam) == IDCANCEL) {
            EndDialog(dialog, IDCANCEL);
        }
        break;
    }
    default:
        break;
    }
    return FALSE;
}

}  // namespace

INT_PTR show_dialog(HINSTANCE module, HWND owner, int template_id, const DialogHandlers& handlers, void* choice)
{
    OpenDialog open = {&handlers, choice};
    return DialogBoxParamW(
        module, MAKEINTRESOURCEW(template_id), owner, dialog_procedure, reinterpret_cast<LPARAM>(&open));
}
