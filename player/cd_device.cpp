#include "player/cd_device.h"

namespace {

constexpr DWORD PLAY_RETRY_MS = 10000;
constexpr DWORD PLAY_RETRY_PAUSE_MS = 100;

MCIDEVICEID device = 0;  // 0: not open
DWORD remembered_mode = MODE_NONE;

// One status item; false when the device refused it (the answer is then not filled in).
bool query_status(DWORD flags, DWORD item, DWORD track, DWORD_PTR* answer)
{
    MCI_STATUS_PARMS parms = {};
    parms.dwItem = item;
    parms.dwTrack = track;
    if (mciSendCommandA(device, MCI_STATUS, flags, reinterpret_cast<DWORD_PTR>(&parms)) != 0) {
        return false;
    }
    *answer = parms.dwReturn;
    return true;
}

// The start of a track of the disc; false for a track the disc does not have.
bool query_track_start(int track, DWORD* start)
{
    DWORD_PTR answer = 0;
    const bool ok = track >= 1 &&
        query_status(MCI_STATUS_ITEM | MCI_TRACK | MCI_WAIT, MCI_STATUS_POSITION, static_cast<DWORD>(track), &answer);
    *start = ok ? static_cast<DWORD>(answer) : 0;
    return ok;
}

// Where a play of this track starts: track -1 is the current position (the line 4294967295
// wraps to it), any other number the start of that track. False when the device cannot say.
bool query_play_start(int track, DWORD* start)
{
    if (track != -1) {
        return query_track_start(track, start);
    }
    DWORD_PTR answer = 0;
    const bool ok = query_status(MCI_STATUS_ITEM | MCI_WAIT, MCI_STATUS_POSITION, 0, &answer);
    *start = ok ? static_cast<DWORD>(answer) : 0;
    return ok;
}

void set_door(HWND window, DWORD flags)
{
    MCI_SET_PARMS parms = {};
    parms.dwCallback = reinterpret_cast<DWORD_PTR>(window);
    mciSendCommandA(device, MCI_SET, flags, reinterpret_cast<DWORD_PTR>(&parms));
}

// Next and previous play on from another track without asking to be told of the end. A track
// that does not exist (past the last, before the first) has no start: the play is skipped and
// the player goes on doing what it did.
void play_from_track(HWND window, int track)
{
    DWORD start = 0;
    if (!query_track_start(track, &start)) {
        return;
    }
    MCI_PLAY_PARMS parms = {};
    parms.dwCallback = reinterpret_cast<DWORD_PTR>(window);
    parms.dwFrom = start;
    mciSendCommandA(device, MCI_PLAY, MCI_FROM, reinterpret_cast<DWORD_PTR>(&parms));
}

}  // namespace

bool open_cd_device(HWND window)
{
    MCI_OPEN_PARMSA parms = {};
    parms.dwCallback = reinterpret_cast<DWORD_PTR>(window);
    parms.lpstrDeviceType = "CDAudio";
    if (mciSendCommandA(0, MCI_OPEN, MCI_OPEN_TYPE | MCI_OPEN_SHAREABLE, reinterpret_cast<DWORD_PTR>(&parms)) != 0) {
        return false;
    }
    device = parms.wDeviceID;
    set_time_format(MCI_FORMAT_TMSF);
    return true;
}

void close_cd_device(HWND window)
{
    if (device == 0) {
        return;
    }
    MCI_GENERIC_PARMS parms = {};
    parms.dwCallback = reinterpret_cast<DWORD_PTR>(window);
    mciSendCommandA(device, MCI_CLOSE, 0, reinterpret_cast<DWORD_PTR>(&parms));
    device = 0;
}

DWORD query_mode()
{
    DWORD_PTR mode = 0;
    if (!query_status(MCI_STATUS_ITEM | MCI_WAIT, MCI_STATUS_MODE, 0, &mode)) {
        return MCI_MODE_NOT_READY;
    }
    return mode == MCI_MODE_STOP ? remembered_mode : static_cast<DWORD>(mode);
}

void set_remembered_mode(DWORD mode)
{
    remembered_mode = mode;
}

int track_count()
{
    DWORD_PTR count = 0;
    return query_status(MCI_STATUS_ITEM | MCI_WAIT, MCI_STATUS_NUMBER_OF_TRACKS, 0, &count) ? static_cast<int>(count)
                                                                                            : 0;
}

int current_track()
{
    // The item takes MCI_TRACK but gives the track field no meaning; 1 is valid on every disc.
    DWORD_PTR track = 0;
    return query_status(MCI_STATUS_ITEM | MCI_TRACK | MCI_WAIT, MCI_STATUS_CURRENT_TRACK, 1, &track)
        ? static_cast<int>(track)
        : 0;
}

DWORD current_position()
{
    return track_start(-1);
}

DWORD track_start(int track)
{
    DWORD start = 0;
    query_play_start(track, &start);
    return start;
}

DWORD track_length(int track)
{
    DWORD_PTR length = 0;
    return query_status(MCI_STATUS_ITEM | MCI_TRACK | MCI_WAIT, MCI_STATUS_LENGTH, static_cast<DWORD>(track), &length)
        ? static_cast<DWORD>(length)
        : 0;
}

void play_track(HWND window, int track)
{
    if (query_mode() == MCI_MODE_OPEN) {
        set_door(window, MCI_SET_DOOR_CLOSED | MCI_WAIT);
    }
    // A track the disc does not have can never be played: retrying would only freeze the
    // program for the whole retry time.
    DWORD start = 0;
    if (query_play_start(track, &start)) {
        // A drive that has just closed its door or is still spinning up refuses plays for a
        // while: keep trying for up to ten seconds.
        const DWORD started = GetTickCount();
        for (;;) {
            MCI_PLAY_PARMS parms = {};
            parms.dwCallback = reinterpret_cast<DWORD_PTR>(window);
            parms.dwFrom = start;
            if (mciSendCommandA(device, MCI_PLAY, MCI_FROM | MCI_NOTIFY, reinterpret_cast<DWORD_PTR>(&parms)) == 0) {
                break;
            }
            Sleep(PLAY_RETRY_PAUSE_MS);
            if (GetTickCount() - started > PLAY_RETRY_MS) {
                break;
            }
        }
    }
    remembered_mode = MCI_MODE_PLAY;
}

void resume_playback(HWND window)
{
    MCI_PLAY_PARMS parms = {};
    parms.dwCallback = reinterpret_cast<DWORD_PTR>(window);
    mciSendCommandA(device, MCI_PLAY, MCI_NOTIFY, reinterpret_cast<DWORD_PTR>(&parms));
    remembered_mode = MCI_MODE_PLAY;
}

void pause_playback(HWND window)
{
    MCI_GENERIC_PARMS parms = {};
    parms.dwCallback = reinterpret_cast<DWORD_PTR>(window);
    mciSendCommandA(device, MCI_PAUSE, 0, reinterpret_cast<DWORD_PTR>(&parms));
    remembered_mode = MCI_MODE_PAUSE;
}

void stop_playback(HWND window)
{
    MCI_GENERIC_PARMS parms = {};
    parms.dwCallback = reinterpret_cast<DWORD_PTR>(window);
    mciSendCommandA(device, MCI_STOP, 0, reinterpret_cast<DWORD_PTR>(&parms));
}

void next_track(HWND window)
{
    play_from_track(window, current_track() + 1);
}

void previous_track(HWND window)
{
    play_from_track(window, current_track() - 1);
}

void open_door(HWND window)
{
    set_door(window, MCI_SET_DOOR_OPEN);
}

void close_door(HWND window)
{
    set_door(window, MCI_SET_DOOR_CLOSED);
}

void set_time_format(DWORD format)
{
    MCI_SET_PARMS parms = {};
    parms.dwTimeFormat = format;
    mciSendCommandA(device, MCI_SET, MCI_SET_TIME_FORMAT, reinterpret_cast<DWORD_PTR>(&parms));
}
