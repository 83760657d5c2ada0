#pragma once
// The track selection dialog: the disc's tracks with their lengths, the current one selected.
#include <windows.h>

// Out, after OK: the track chosen (1 to the disc's count), or 0 when none was.
struct TrackChoice {
    int track;
};

// Modal; IDOK after OK, IDCANCEL after cancel.
INT_PTR show_track_dialog(HINSTANCE module, HWND owner, TrackChoice* choice);
