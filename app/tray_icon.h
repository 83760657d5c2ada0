#pragma once
// The program's icon in the notification area: added at creation and whenever the taskbar has
// restarted, kept up to date with the status text, taken away at the end. Main thread only.
#include <windows.h>

// Adds the icon with the current status: at creation, and whenever the taskbar has restarted.
void announce_tray(HWND window);
// The status text as the tooltip, with the picture (IDI_PLAYING or IDI_IDLE). An icon that the
// shell refused so far (at logon, before the taskbar is ready) is added now.
void show_in_tray(HWND window, int icon);
// The scale has changed (another monitor, another setting): the pictures again, at the new size.
void rescale_tray(HWND window);
// Takes the icon away, at the end.
void remove_tray(HWND window);
