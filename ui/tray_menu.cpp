#include "ui/tray_menu.h"

#include "common/commands.h"
#include "common/messages.h"
#include "app/shell.h"
#include "player/cd_device.h"
#include "player/status_text.h"
#include "res/texts.h"
#include "ui/tray.h"

HMENU build_tray_menu(DWORD mode)
{
    const HMENU menu = CreatePopupMenu();
    AppendMenuA(menu, MF_STRING, CMD_PLAY, TEXT_MENU_PLAY);
    AppendMenuA(menu, MF_STRING, CMD_STOP, TEXT_MENU_STOP);
    if (mode == MCI_MODE_PLAY) {
        AppendMenuA(menu, MF_STRING, CMD_PAUSE, TEXT_MENU_PAUSE);
    } else {
        AppendMenuA(menu, MF_STRING, CMD_RESUME, TEXT_MENU_RESUME);
    }
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING, CMD_NEXT, TEXT_MENU_NEXT);
    AppendMenuA(menu, MF_STRING, CMD_PREVIOUS, TEXT_MENU_PREVIOUS);
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING, CMD_SELECT_TRACK, TEXT_MENU_SELECT_TRACK);
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    if (mode == MCI_MODE_OPEN) {
        AppendMenuA(menu, MF_STRING, CMD_CLOSE_TRAY, TEXT_MENU_CLOSE_TRAY);
    } else {
        AppendMenuA(menu, MF_STRING, CMD_EJECT, TEXT_MENU_EJECT);
    }
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING, CMD_SETTINGS, TEXT_MENU_SETTINGS);
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING, CMD_EXIT, TEXT_MENU_EXIT);
    return menu;
}

void on_tray_notify(HWND window, LPARAM lparam)
{
    // Taken for every notice, mouse movement included, so the click and the menu agree on it.
    const DWORD mode = query_mode();
    switch (static_cast<UINT>(lparam)) {
    case WM_LBUTTONDOWN: {
        const int icon = toggle_pause(main_window.load(), mode);
        tray_update(window, status_text, load_icon(icon));
        break;
    }
    case WM_RBUTTONDOWN:
        // Shown once the shell's notification has returned.
        PostMessageA(window, WM_TRAY_MENU, reinterpret_cast<WPARAM>(build_tray_menu(mode)), 0);
        break;
    default:
        break;
    }
}

void on_tray_menu(HWND window, WPARAM wparam)
{
    const HMENU menu = reinterpret_cast<HMENU>(wparam);
    POINT cursor = {};
    GetCursorPos(&cursor);
    // Without the foreground the menu would not close when the user clicks elsewhere.
    SetForegroundWindow(window);
    TrackPopupMenu(menu, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_LEFTBUTTON, cursor.x, cursor.y, 0, window, nullptr);
    DestroyMenu(menu);
}
