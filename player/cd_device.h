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

// A play from the start of a track, asking to be told of its end. The drive may take it only
// after a while (its door closing, the disc loading, a refusal that passes), and the main thread
// must not wait for that: begin_play makes the first attempt, and while the answer is `trying`
// the caller calls retry_play every PLAY_RETRY_PAUSE_MS, from its message loop, until the drive
// has taken the play (`started`) or refused it for ten seconds, or the disc has no such track
// (`failed`). Once it is over, the remembered mode is PLAY either way. One play at a time.
enum class PlayAttempt { started, failed, trying };
constexpr DWORD PLAY_RETRY_PAUSE_MS = 100;
PlayAttempt begin_play(HWND window, int track);
PlayAttempt retry_play();
bool play_in_progress();
// A later command that acts on the drive ends the play being tried: it counts as given up, as
// after its ten seconds (the remembered mode is PLAY), and only the newest play is tried.
void give_up_play();
// The program ends: the play being tried is forgotten, the remembered mode left as it was.
void abandon_play();
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
