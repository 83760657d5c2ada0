#pragma once
// The track selection dialog: the disc's tracks with their lengths, the current one selected.
#include <windows.h>

// In: the disc's tracks, one line each (" 01. (4:05)\n"; line i is track i), and the current
// track (none selected when it is not one of them). Out, after OK: the track chosen (1 to the
// number of lines), or 0 when none was.
struct TrackChoice {
    const char* tracks;
    int current;
    int track;
};

// Modal; IDOK after OK, IDCANCEL after cancel.
INT_PTR show_track_dialog(HINSTANCE module, HWND owner, TrackChoice* choice);
