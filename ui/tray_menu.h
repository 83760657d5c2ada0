#pragma once
// The tray icon's mouse actions: a left click toggles play and pause, a right click opens the
// popup menu of player commands. Main thread only.
#include <windows.h>

// The popup menu for the given player mode; the caller destroys it.
HMENU build_tray_menu(DWORD mode);

// WM_TRAY_NOTIFY: lparam is the mouse message.
void on_tray_notify(HWND window, LPARAM lparam);
// WM_TRAY_MENU: wparam is the menu built by the right click.
void on_tray_menu(HWND window, WPARAM wparam);
