#pragma once
// The track selection dialog: the disc's tracks with their lengths; OK plays the one chosen.
#include <windows.h>

INT_PTR show_track_dialog(HWND owner);
