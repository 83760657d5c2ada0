#pragma once
// Reading the open popup menu of another program through menu_hook.dll (menu_snapshot.h).
#include <windows.h>

#include "tools/desktop/menu_snapshot.h"

// Fills *out with the items of the menu shown by menu_window (class "#32768"). False, with the
// reason in *error, when the hook cannot be installed or the menu's thread did not answer.
bool read_menu(HWND menu_window, MenuSnapshot* out, const char** error);

// The window procedure's part: takes a snapshot that arrives as WM_COPYDATA. False when the data
// is not one (then it is the shell's).
bool take_menu_snapshot(const COPYDATASTRUCT* data);
