#pragma once
// The program's icon in the notification area, and what the person at the machine does with it:
// a left click toggles play and pause, a right click opens the menu of player commands.
// Main thread only.
#include <windows.h>

// Adds the icon with the current status: at creation, and whenever the taskbar has restarted.
void announce_tray(HWND window);
// The status text as the tooltip, with the picture (IDI_PLAYING or IDI_IDLE). An icon that the
// shell refused so far (at logon, before the taskbar is ready) is added now.
void show_in_tray(HWND window, int icon);
// Takes the icon away, at the end.
void remove_tray(HWND window);

// WM_TRAY_NOTIFY: lparam is the mouse message.
void on_tray_notify(HWND window, LPARAM lparam);
// WM_TRAY_MENU: wparam is the menu built by the right click.
void on_tray_menu(HWND window, WPARAM wparam);
