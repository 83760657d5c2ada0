#include "app/tray_events.h"

#include "app/dispatch.h"
#include "app/main_window.h"
#include "common/messages.h"
#include "player/cd_device.h"
#include "player/status_text.h"
#include "res/resource.h"
#include "ui/tray.h"
#include "ui/tray_menu.h"

namespace {

// Between creation and the end the program wants its icon; shown: the shell has it.
bool tray_wanted = false;
bool tray_shown = false;

}  // namespace

void announce_tray(HWND window)
{
    // The scale may have changed with the taskbar: the pictures are made for the size it shows.
    load_tray_icons(instance);
    const DWORD mode = status_text_brief();
    tray_wanted = true;
    tray_shown =
        tray_add(window, status_text, WM_TRAY_NOTIFY, tray_icon(mode == MCI_MODE_PLAY ? IDI_PLAYING : IDI_IDLE));
}

void show_in_tray(HWND window, int icon)
{
    if (!tray_wanted) {
        return;
    }
    if (!tray_shown) {
        tray_shown = tray_add(window, status_text, WM_TRAY_NOTIFY, tray_icon(icon));
        return;
    }
    tray_update(window, status_text, tray_icon(icon));
}

void remove_tray(HWND window)
{
    if (tray_wanted) {
        tray_remove(window);
    }
    tray_wanted = false;
    tray_shown = false;
    release_tray_icons();
}

void on_tray_notify(HWND window, LPARAM lparam)
{
    // Taken for every notice, mouse movement included, so the click and the menu agree on it.
    const DWORD mode = query_mode();
    switch (static_cast<UINT>(lparam)) {
    case WM_LBUTTONDOWN:
        // Acts on the drive and the tray only: the click sends no client a reply.
        show_in_tray(window, toggle_pause(window, mode));
        break;
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
    // Only a menu the right click built: another program's message changes nothing.
    if (IsMenu(menu)) {
        show_tray_menu(window, menu);
    }
}
