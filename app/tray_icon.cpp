#include "app/tray_icon.h"

#include "app/module.h"
#include "common/messages.h"
#include "player/cd_device.h"
#include "player/status_text.h"
#include "ui/tray.h"

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
    tray_shown = tray_add(window, status_text, WM_TRAY_NOTIFY, tray_icon(icon_for_mode(mode)));
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
