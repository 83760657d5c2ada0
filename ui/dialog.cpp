#include "ui/dialog.h"

#include "ui/placement.h"

namespace {

// What the dialog procedure keeps of one open dialog, in the dialog's user data.
struct OpenDialog {
    const DialogHandlers* handlers;
    void* choice;
};

// The work area (the screen less the taskbar) of the monitor under the cursor; with several
// monitors the primary one's (SPI_GETWORKAREA) may be elsewhere, and a taskbar may stand on any edge.
Area work_area_at(POINT cursor)
{
    MONITORINFO info = {};
    info.cbSize = sizeof info;
    RECT work = {};
    if (GetMonitorInfoW(MonitorFromPoint(cursor, MONITOR_DEFAULTTONEAREST), &info)) {
        work = info.rcWork;
    } else {
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    }
    return {work.left, work.top, work.right, work.bottom};
}

// Moves a dialog next to the mouse cursor, inside the work area of the monitor there.
void place_near_cursor(HWND dialog)
{
    RECT rect = {};
    GetWindowRect(dialog, &rect);
    POINT cursor = {};
    GetCursorPos(&cursor);
    const Position at =
        place_at_cursor(work_area_at(cursor), rect.right - rect.left, rect.bottom - rect.top, cursor.x, cursor.y);
    SetWindowPos(dialog, nullptr, at.x, at.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
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
