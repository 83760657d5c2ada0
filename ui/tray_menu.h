#pragma once
// The tray icon's popup menu of player commands. Main thread only.
#include <windows.h>

// The popup menu for what the player shows: pause while playing, resume otherwise; close while the
// door is open, eject otherwise. The caller destroys it.
HMENU build_tray_menu(bool playing, bool door_open);

// Shows the menu at the cursor, owned by window, until the user chooses or leaves it; a chosen
// item reaches window as WM_COMMAND. Destroys the menu.
void show_tray_menu(HWND window, HMENU menu);
