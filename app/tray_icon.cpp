#include "app/tray_icon.h"

#include "app/module.h"
#include "common/messages.h"
#include "player/cd_device.h"
#include "player/status_text.h"
#include "res/resource.h"
#include "ui/tray.h"

namespace {

// Between creation and the end the program wants its icon; shown: the shell has it.
bool tray_wanted = false;
bool tray_shown = false;
// The picture shown last (IDI_PLAYING or IDI_IDLE), to show again at a new size.
int shown_icon = IDI_IDLE;

}  // namespace

void announce_tray(HWND window)
{
    // The scale may have changed with the taskbar: the pictures are made for the size it shows.
    load_tray_icons(instance, window);
    const DWORD mode = status_text_brief();
    tray_wanted = true;
    shown_icon = icon_for_mode(mode);
    tray_shown = tray_add(window, status_text, WM_TRAY_NOTIFY, tray_icon(shown_icon));
}

void show_in_tray(HWND window, int icon)
{
    if (!tray_wanted) {
        return;
    }
    shown_icon = icon;
    // A shell that does not know the icon (one that restarted without telling this program, as
    // happens to an elevated one) refuses the change: then it is added again.
    if (!tray_shown || !tray_update(window, status_text, tray_icon(icon))) {
        tray_shown = tray_add(window, status_text, WM_TRAY_NOTIFY, tray_icon(icon));
    }
}

void rescale_tray(HWND window)
{
    if (tray_wanted && load_tray_icons(instance, window)) {
        show_in_tray(window, shown_icon);
    }
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
