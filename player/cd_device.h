#pragma once
// The only code that talks to the CD drive: the MCI "CDAudio" device and the mode the program
// remembers beside it. Main thread only.
#include <windows.h>
#include <mmsystem.h>

// The remembered mode before start-up has finished: no mode at all.
constexpr DWORD MODE_NONE = 0;

bool open_cd_device(HWND window);
void close_cd_device(HWND window);

// The device's mode, except that a device reporting STOP reads as the remembered mode.
// A failed query reads as MCI_MODE_NOT_READY. A remembered PLAY becomes STOP once the device shows
// that the play is over (stopped, not ready or open, past the start of the play).
DWORD query_mode();
void set_remembered_mode(DWORD mode);

// Failed queries (no disc, door open, no such track) read as 0.
int track_count();
int current_track();
DWORD current_position();
DWORD track_start(int track);  // -1: the current position

// Plays from the start of the track, asking to be told of the end; true when the drive took the
// play. The remembered mode is PLAY afterwards either way.
bool play_track(HWND window, int track);
void resume_playback(HWND window);
void pause_playback(HWND window);
void stop_playback(HWND window);
void next_track(HWND window);
void previous_track(HWND window);
void open_door(HWND window);
void close_door(HWND window);

// Each track's length in minutes, seconds and frames (MSF, minutes in the lowest byte), read with
// the device switched to MSF and back to TMSF afterwards; a failed query reads as 0. sink takes
// tracks 1, 2, ... in order until it returns false or the disc has no more.
using track_length_sink = bool (*)(void* context, int track, DWORD msf_length);
void read_track_lengths(track_length_sink sink, void* context);
