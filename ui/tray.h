#pragma once
// The notification-area icon: its picture tells whether the disc plays, its tooltip is the status.
// Main thread only.
#include <windows.h>

// Both pictures (IDI_PLAYING, IDI_IDLE) at the size the notification area shows, the small icon
// size of the scale of the window's monitor: loaded again only when that size has changed (true
// then), released once at the end.
bool load_tray_icons(HINSTANCE module, HWND window);
void release_tray_icons();
HICON tray_icon(int resource);

// Adds the icon; true when the notification area has it (also when it had it already), false
// when the shell refuses it (at logon, before the taskbar is ready).
bool tray_add(HWND window, const char* text, UINT callback_message, HICON icon);
// Changes the tooltip when text is given and the picture when icon is given; false when the
// shell refuses it (it does not have the icon: an elevated program missed the taskbar's restart).
bool tray_update(HWND window, const char* text, HICON icon);
void tray_remove(HWND window);
