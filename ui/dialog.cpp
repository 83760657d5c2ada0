#include "ui/dialog.h"

#include "app/shell.h"

namespace {

// Moves a dialog next to the mouse cursor, inside the work area's right and bottom edges.
void place_near_cursor(HWND dialog)
{
    RECT work_area = {};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work_area, 0);
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

INT_PTR CALLBACK dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_INITDIALOG: {
        SetWindowLongPtrA(dialog, DWLP_USER, lparam);
        place_near_cursor(dialog);
        // A modal dialog is shown only once its message loop finds the queue empty, which a
        // client pipelining commands can put off for as long as it sends: show it now.
        ShowWindow(dialog, SW_SHOW);
        reinterpret_cast<const DialogHandlers*>(lparam)->on_init(dialog);
        break;
    }
    case WM_COMMAND:
        if (LOWORD(wparam) == IDOK) {
            reinterpret_cast<const DialogHandlers*>(GetWindowLongPtrA(dialog, DWLP_USER))->on_ok(dialog);
        } else if (LOWORD(wparam) == IDCANCEL) {
            EndDialog(dialog, IDCANCEL);
        }
        break;
    default:
        break;
    }
    return FALSE;
}

}  // namespace

INT_PTR show_dialog(HWND owner, int template_id, const DialogHandlers& handlers)
{
    return DialogBoxParamA(
        instance, MAKEINTRESOURCEA(template_id), owner, dialog_procedure, reinterpret_cast<LPARAM>(&handlers));
}
