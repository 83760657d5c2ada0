#include "player/cd_device.h"

namespace {

constexpr DWORD PLAY_RETRY_MS = 10000;
// How long a play the drive has accepted may take to show up as playing (seek, spin-up). Real
// drives report PLAY as soon as they move, so this only has to outlast a slow seek; it is kept
// short because a play that ends unseen within it reads as playing until it has passed.
constexpr DWORD PLAY_START_GRACE_MS = 5000;

MCIDEVICEID device = 0;  // 0: not open
DWORD remembered_mode = MODE_NONE;
// A play the drive accepted that has not yet been seen playing, and when it was sent.
bool play_start_pending = false;
DWORD play_sent_at = 0;

void note_play_sent()
{
    play_start_pending = true;
    play_sent_at = GetTickCount();
}

// Whether a drive in this mode has finished the play the program remembers. Drives tell the end
// of a play only by their mode: Windows' cdaudio sends no notice when a play runs to its end, nor
// when the door is opened by hand. A drive that has just accepted a play may still report STOP (or
// not ready) while it seeks or spins up, so those count only once the play has been seen playing or
// its grace has passed; an open door ends any play.
bool play_has_ended(DWORD mode)
{
    if (mode == MCI_MODE_OPEN) {
        return true;
    }
    if (mode != MCI_MODE_STOP && mode != MCI_MODE_NOT_READY) {
        return false;
    }
    return !play_start_pending || GetTickCount() - play_sent_at > PLAY_START_GRACE_MS;
}

// One status item: 0, or the device's error (the answer then reads 0).
MCIERROR query_status(DWORD flags, DWORD item, DWORD track, DWORD_PTR* answer)
{
    MCI_STATUS_PARMS parms = {};
    parms.dwItem = item;
    parms.dwTrack = track;
    const MCIERROR error = mciSendCommandA(device, MCI_STATUS, flags, reinterpret_cast<DWORD_PTR>(&parms));
    *answer = error == 0 ? parms.dwReturn : 0;
    return error;
}

// The start of a track of the disc (0 when the device cannot say): 0, MCIERR_OUTOFRANGE for a
// track the disc does not have (as the drive answers once it has read the disc), or the drive's
// error (not ready, ...).
MCIERROR query_track_start(int track, DWORD* start)
{
    *start = 0;
    if (track < 1) {
        return MCIERR_OUTOFRANGE;
    }
    DWORD_PTR answer = 0;
    const MCIERROR error =
        query_status(MCI_STATUS_ITEM | MCI_TRACK | MCI_WAIT, MCI_STATUS_POSITION, static_cast<DWORD>(track), &answer);
    *start = static_cast<DWORD>(answer);
    return error;
}

bool send_play(HWND window, DWORD flags, DWORD from)
{
    MCI_PLAY_PARMS parms = {};
    parms.dwCallback = reinterpret_cast<DWORD_PTR>(window);
    parms.dwFrom = from;
    if (mciSendCommandA(device, MCI_PLAY, flags, reinterpret_cast<DWORD_PTR>(&parms)) != 0) {
        return false;
    }
    note_play_sent();
    return true;
}

// Where a play of this track starts: track -1 is the current position (the line 4294967295
// wraps to it), any other number the start of that track. The result as query_track_start's.
MCIERROR query_play_start(int track, DWORD* start)
{
    if (track != -1) {
        return query_track_start(track, start);
    }
    DWORD_PTR answer = 0;
    const MCIERROR error = query_status(MCI_STATUS_ITEM | MCI_WAIT, MCI_STATUS_POSITION, 0, &answer);
    *start = static_cast<DWORD>(answer);
    return error;
}

// MCI_FORMAT_TMSF at all times, except while the track lengths are read (MSF).
void set_time_format(DWORD format)
{
    MCI_SET_PARMS parms = {};
    parms.dwTimeFormat = format;
    mciSendCommandA(device, MCI_SET, MCI_SET_TIME_FORMAT, reinterpret_cast<DWORD_PTR>(&parms));
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
    if (query_track_start(track, &start) != 0) {
        return;
    }
    send_play(window, MCI_FROM, start);
}

// The play being tried: a drive that has just closed its door or is still spinning up can
// neither tell where the track starts nor play it for a while. Main thread only.
struct PlayInProgress {
    bool active;
    HWND window;
    int track;
    DWORD started;
    bool have_start;
    DWORD start;
};
PlayInProgress attempt = {};

PlayAttempt end_attempt(PlayAttempt result)
{
    attempt.active = false;
    remembered_mode = MCI_MODE_PLAY;
    return result;
}

// One attempt: the start of the track until the drive can tell it, then the play. Only a track
// the disc does not have is given up at once: trying it again cannot help.
PlayAttempt try_play()
{
    if (!attempt.have_start) {
        const MCIERROR error = query_play_start(attempt.track, &attempt.start);
        if (error == MCIERR_OUTOFRANGE) {
            return end_attempt(PlayAttempt::failed);
        }
        attempt.have_start = error == 0;
    }
    if (attempt.have_start && send_play(attempt.window, MCI_FROM | MCI_NOTIFY, attempt.start)) {
        return end_attempt(PlayAttempt::started);
    }
    return PlayAttempt::trying;
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
    DWORD_PTR answer = 0;
    const DWORD mode = query_status(MCI_STATUS_ITEM | MCI_WAIT, MCI_STATUS_MODE, 0, &answer) == 0
        ? static_cast<DWORD>(answer)
        : MCI_MODE_NOT_READY;
    if (mode == MCI_MODE_PLAY) {
        play_start_pending = false;
    } else if (remembered_mode == MCI_MODE_PLAY && play_has_ended(mode)) {
        // The play has run to its end or was ended from outside: as the success notice would have.
        remembered_mode = MCI_MODE_STOP;
    }
    return mode == MCI_MODE_STOP ? remembered_mode : mode;
}

void set_remembered_mode(DWORD mode)
{
    remembered_mode = mode;
    play_start_pending = false;
}

int track_count()
{
    DWORD_PTR count = 0;
    query_status(MCI_STATUS_ITEM | MCI_WAIT, MCI_STATUS_NUMBER_OF_TRACKS, 0, &count);
    return static_cast<int>(count);
}

int current_track()
{
    // The item takes MCI_TRACK but gives the track field no meaning; 1 is valid on every disc.
    DWORD_PTR track = 0;
    query_status(MCI_STATUS_ITEM | MCI_TRACK | MCI_WAIT, MCI_STATUS_CURRENT_TRACK, 1, &track);
    return static_cast<int>(track);
}

DWORD current_position()
{
    return track_start(-1);
}

DWORD track_start(int track)
{
    DWORD start = 0;
    static_cast<void>(query_play_start(track, &start));
    return start;
}

void read_track_lengths(track_length_sink sink, void* context)
{
    set_time_format(MCI_FORMAT_MSF);
    const int count = track_count();
    for (int track = 1; track <= count; ++track) {
        DWORD_PTR length = 0;
        query_status(MCI_STATUS_ITEM | MCI_TRACK | MCI_WAIT, MCI_STATUS_LENGTH, static_cast<DWORD>(track), &length);
        if (!sink(context, track, static_cast<DWORD>(length))) {
            break;
        }
    }
    set_time_format(MCI_FORMAT_TMSF);
}

PlayAttempt begin_play(HWND window, int track)
{
    if (query_mode() == MCI_MODE_OPEN) {
        set_door(window, MCI_SET_DOOR_CLOSED | MCI_WAIT);
    }
    attempt = {true, window, track, GetTickCount(), false, 0};
    return try_play();
}

PlayAttempt retry_play()
{
    if (!attempt.active) {
        return PlayAttempt::failed;
    }
    if (GetTickCount() - attempt.started > PLAY_RETRY_MS) {
        return end_attempt(PlayAttempt::failed);
    }
    return try_play();
}

bool play_in_progress()
{
    return attempt.active;
}

void give_up_play()
{
    if (attempt.active) {
        end_attempt(PlayAttempt::failed);
    }
}

void abandon_play()
{
    attempt.active = false;
}

void resume_playback(HWND window)
{
    send_play(window, MCI_NOTIFY, 0);
    remembered_mode = MCI_MODE_PLAY;
}

void pause_playback(HWND window)
{
    MCI_GENERIC_PARMS parms = {};
    parms.dwCallback = reinterpret_cast<DWORD_PTR>(window);
    mciSendCommandA(device, MCI_PAUSE, 0, reinterpret_cast<DWORD_PTR>(&parms));
    remembered_mode = MCI_MODE_PAUSE;
    play_start_pending = false;
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
