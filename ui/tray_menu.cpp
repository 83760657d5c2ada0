#include "ui/tray_menu.h"

#include "common/commands.h"
#include "res/texts.h"
#include "ui/wide_text.h"

HMENU build_tray_menu(bool playing, bool door_open)
{
    const HMENU menu = CreatePopupMenu();
    append_menu_item(menu, CMD_PLAY, TEXT_MENU_PLAY);
    append_menu_item(menu, CMD_STOP, TEXT_MENU_STOP);
    if (playing) {
        append_menu_item(menu, CMD_PAUSE, TEXT_MENU_PAUSE);
    } else {
        append_menu_item(menu, CMD_RESUME, TEXT_MENU_RESUME);
    }
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    append_menu_item(menu, CMD_NEXT, TEXT_MENU_NEXT);
    append_menu_item(menu, CMD_PREVIOUS, TEXT_MENU_PREVIOUS);
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    append_menu_item(menu, CMD_SELECT_TRACK, TEXT_MENU_SELECT_TRACK);
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    if (door_open) {
        append_menu_item(menu, CMD_CLOSE_TRAY, TEXT_MENU_CLOSE_TRAY);
    } else {
        append_menu_item(menu, CMD_EJECT, TEXT_MENU_EJECT);
    }
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    append_menu_item(menu, CMD_SETTINGS, TEXT_MENU_SETTINGS);
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    append_menu_item(menu, CMD_EXIT, TEXT_MENU_EXIT);
    return menu;
}

void show_tray_menu(HWND window, HMENU menu)
{
    POINT cursor = {};
    GetCursorPos(&cursor);
    // Without the foreground the menu would not close when the user clicks elsewhere.
    SetForegroundWindow(window);
    TrackPopupMenu(menu, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_LEFTBUTTON, cursor.x, cursor.y, 0, window, nullptr);
    // A message after the menu lets the system finish with it; without one the next menu can
    // close as soon as it opens.
    PostMessageW(window, WM_NULL, 0, 0);
    DestroyMenu(menu);
}
