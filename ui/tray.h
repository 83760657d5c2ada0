#pragma once
// The notification-area icon: its picture tells whether the disc plays, its tooltip is the status.
// Main thread only.
#include <windows.h>

// The icon resource with this number, from the program's own resources.
HICON load_icon(int resource);

void tray_add(HWND window, const char* text, UINT callback_message, HICON icon);
// Changes the tooltip when text is given and the picture when icon is given.
void tray_update(HWND window, const char* text, HICON icon);
void tray_remove(HWND window);
// Adds the icon with the current status; again whenever the taskbar has been restarted.
void announce_tray(HWND window);
