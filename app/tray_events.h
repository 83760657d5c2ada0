#pragma once
// What the person at the machine does with the tray icon: a left click toggles play and pause, a
// right click opens the menu of player commands. Main thread only.
#include <windows.h>

// WM_TRAY_NOTIFY: lparam is the mouse message.
void on_tray_notify(HWND window, LPARAM lparam);
// WM_TRAY_MENU: wparam is the menu built by the right click.
void on_tray_menu(HWND window, WPARAM wparam);
