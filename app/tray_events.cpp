#include "app/tray_events.h"

#include "app/dispatch.h"
#include "app/tray_icon.h"
#include "common/messages.h"
#include "player/cd_device.h"
#include "ui/tray_menu.h"

void on_tray_notify(HWND window, LPARAM lparam)
{
    // Taken for every notice, mouse movement included, so the click and the menu agree on it.
    const DWORD mode = query_mode();
    switch (static_cast<UINT>(lparam)) {
    case WM_LBUTTONDOWN: {
        // Acts on the drive and the tray only: the click sends no client a reply.
        const int icon = toggle_pause(window, mode);
        if (icon != 0) {
            show_in_tray(window, icon);
        }
        break;
    }
    case WM_RBUTTONDOWN:
        // Shown once the shell's notification has returned.
        PostMessageA(window, WM_TRAY_MENU,
            reinterpret_cast<WPARAM>(build_tray_menu(mode == MCI_MODE_PLAY, mode == MCI_MODE_OPEN)), 0);
        break;
    default:
        break;
    }
}

void on_tray_menu(HWND window, WPARAM wparam)
{
    const HMENU menu = reinterpret_cast<HMENU>(wparam);
    // Only a menu the right click built: another program's message changes nothing.
    if (IsMenu(menu)) {
        show_tray_menu(window, menu);
    }
}
