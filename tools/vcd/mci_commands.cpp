#include "tools/vcd/mci_commands.h"

#include <mmsystem.h>
#include <mmddk.h>

#include <cstdio>

#include "tools/vcd/clock_thread.h"
#include "tools/vcd/disc.h"
#include "tools/vcd/drive_clock.h"
#include "tools/vcd/drive_settings.h"
#include "tools/vcd/drive_state.h"
#include "tools/vcd/settings_file.h"
#include "tools/vcd/vcd_log.h"

namespace {

constexpr DWORD PLAY_WAIT_POLL_MS = 10;
constexpr const wchar_t* PRODUCT_NAME = L"Virtual CD drive";

void add_callback(LogLine* line, DWORD flags, DWORD_PTR callback)
{
    if ((flags & MCI_NOTIFY) != 0) {
        log_add(line, "callback=0x%08llx", static_cast<unsigned long long>(callback));
    }
}

DWORD on_open(Instance* self, DWORD flags, const MCI_OPEN_PARMSW* p, LogLine* line)
{
    const DWORD_PTR callback = p != nullptr ? p->dwCallback : 0;
    add_callback(line, flags, callback);
    if (!drive.drive_present) {
        return MCIERR_CANNOT_LOAD_DRIVER;  // what MCI answers on a machine without a CD drive
    }
    const bool shareable = (flags & MCI_OPEN_SHAREABLE) != 0;
    for (const Instance& i : instances) {
        if (&i != self && i.used && i.open && (!i.shareable || !shareable)) {
            return MCIERR_MUST_USE_SHAREABLE;
        }
    }
    self->open = true;
    self->shareable = shareable;
    start_clock();
    notify_done(flags, callback, self->device);
    return 0;
}

DWORD on_close(Instance* self, DWORD flags, const MCI_GENERIC_PARMS* p, uint64_t now, LogLine* line)
{
    const DWORD_PTR callback = p != nullptr ? p->dwCallback : 0;
    add_callback(line, flags, callback);
    self->open = false;
    if (!any_other_open(self)) {
        halt(now, MCI_NOTIFY_ABORTED);  // the last user gone: the drive stops, as cdaudio's does
    } else if (drive.pending.active && drive.pending.device == self->device) {
        end_pending(MCI_NOTIFY_ABORTED);
    }
    notify_done(flags, callback, self->device);
    return 0;
}

DWORD time_format_of(TimeUnit unit)
{
    switch (unit) {
    case TimeUnit::milliseconds:
        return MCI_FORMAT_MILLISECONDS;
    case TimeUnit::msf:
        return MCI_FORMAT_MSF;
    case TimeUnit::tmsf:
        return MCI_FORMAT_TMSF;
    }
    return MCI_FORMAT_MSF;
}

// The high word MCI expects beside a time value, so that its string interface prints colons.
DWORD colon_kind(TimeUnit unit)
{
    switch (unit) {
    case TimeUnit::msf:
        return MCI_COLONIZED3_RETURN;
    case TimeUnit::tmsf:
        return MCI_COLONIZED4_RETURN;
    case TimeUnit::milliseconds:
        break;
    }
    return 0;
}

DWORD current_mode(uint64_t now)
{
    const Drive& d = drive;
    if (d.door_open) {
        return MCI_MODE_OPEN;
    }
    if (!d.disc_present) {
        return MCI_MODE_NOT_READY;
    }
    if (loading(now) && d.load_kind != LoadKind::refuse) {
        return d.load_kind == LoadKind::open ? MCI_MODE_OPEN : MCI_MODE_NOT_READY;
    }
    switch (d.motion) {
    case Motion::playing:
        // Still seeking to where the play starts.
        return now < d.base_tick ? MCI_MODE_STOP : MCI_MODE_PLAY;
    case Motion::paused:
        // Windows' cdaudio says "stopped" while paused; the pause is still there for MCI_RESUME.
        return d.stop_after_pause ? MCI_MODE_STOP : MCI_MODE_PAUSE;
    case Motion::idle:
        break;
    }
    return MCI_MODE_STOP;
}

DWORD boolean_resource(bool value)
{
    return value ? MAKEMCIRESOURCE(TRUE, MCI_TRUE) : MAKEMCIRESOURCE(FALSE, MCI_FALSE);
}

bool valid_track(DWORD track)
{
    return track >= 1 && track <= static_cast<DWORD>(drive.disc.track_count);
}

// Computes a status item into *value; returns the MCI result (error in the low word, the kind
// of value in the high word).
DWORD status_value(const Instance* self, DWORD flags, DWORD item, DWORD track, uint64_t now, DWORD* value)
{
    const Disc& disc = drive.disc;
    const bool with_track = (flags & MCI_TRACK) != 0;
    switch (item) {
    case MCI_STATUS_MODE:
        *value = MAKEMCIRESOURCE(current_mode(now), current_mode(now));
        return MCI_RESOURCE_RETURNED;
    case MCI_STATUS_MEDIA_PRESENT:
    case MCI_STATUS_READY:
        *value = boolean_resource(ready());
        return MCI_RESOURCE_RETURNED;
    case MCI_STATUS_TIME_FORMAT: {
        const DWORD format = time_format_of(self->unit);
        *value = MAKEMCIRESOURCE(format, MCI_FORMAT_RETURN_BASE + format);
        return MCI_RESOURCE_RETURNED;
    }
    default:
        break;
    }
    if (!ready()) {
        return MCIERR_DEVICE_NOT_READY;
    }
    if (with_track && !valid_track(track)) {
        return MCIERR_OUTOFRANGE;
    }
    switch (item) {
    case MCI_STATUS_NUMBER_OF_TRACKS:
        *value = static_cast<DWORD>(disc.track_count);
        return 0;
    case MCI_STATUS_CURRENT_TRACK:
        *value = static_cast<DWORD>(track_at(disc, current_frame(now)));
        return 0;
    case MCI_STATUS_POSITION: {
        uint32_t frame = current_frame(now);
        if ((flags & MCI_STATUS_START) != 0) {
            if (with_track) {
                return MCIERR_FLAGS_NOT_COMPATIBLE;
            }
            frame = disc_start(disc);
        } else if (with_track) {
            frame = disc.start[track - 1];
        }
        *value = position_value(disc, self->unit, frame);
        return colon_kind(self->unit);
    }
    case MCI_STATUS_LENGTH: {
        uint32_t frames = with_track ? track_length(disc, static_cast<int>(track)) : disc_end(disc) - disc_start(disc);
        // Windows' cdaudio (and Wine's mcicda after it) count the last track one frame short.
        if (drive.short_last_track && (!with_track || static_cast<int>(track) == disc.track_count)) {
            --frames;
        }
        *value = duration_value(self->unit, frames);
        return self->unit == TimeUnit::milliseconds ? 0 : MCI_COLONIZED3_RETURN;
    }
    case MCI_CDA_STATUS_TYPE_TRACK:
        if (!with_track) {
            return MCIERR_MISSING_PARAMETER;
        }
        *value = MCI_CDA_TRACK_AUDIO;
        return 0;
    default:
        return MCIERR_UNSUPPORTED_FUNCTION;
    }
}

DWORD on_status(
    const Instance* self, DWORD flags, MCI_STATUS_PARMS* p, uint64_t now, LogLine* line, DWORD* visible_return)
{
    if (p == nullptr) {
        return MCIERR_NULL_PARAMETER_BLOCK;
    }
    if ((flags & MCI_STATUS_ITEM) == 0) {
        return MCIERR_MISSING_PARAMETER;
    }
    const char* item = status_item_name(p->dwItem);
    if (item != nullptr) {
        log_add(line, "item=%s", item);
    } else {
        log_add(line, "item=0x%08lx", static_cast<unsigned long>(p->dwItem));
    }
    if ((flags & MCI_TRACK) != 0) {
        log_add(line, "track=%lu", static_cast<unsigned long>(p->dwTrack));
    }
    add_callback(line, flags, p->dwCallback);
    DWORD value = 0;
    const DWORD result = status_value(self, flags, p->dwItem, p->dwTrack, now, &value);
    if (LOWORD(result) != 0) {
        return result;  // dwReturn stays as the caller left it
    }
    p->dwReturn = value;
    // MCI hands the caller only the low word of a resource value (the high word names its text).
    *visible_return = (HIWORD(result) & HIWORD(MCI_RESOURCE_RETURNED)) != 0 ? LOWORD(value) : value;
    notify_done(flags, p->dwCallback, self->device);
    return result;
}

// A time value of the caller's as a frame inside the disc (its end included).
bool frame_in_disc(const Instance* self, DWORD value, uint32_t* frame)
{
    const Disc& disc = drive.disc;
    return frame_of_value(disc, self->unit, value, frame) && *frame >= disc_start(disc) && *frame <= disc_end(disc);
}

DWORD on_play(const Instance* self, DWORD flags, const MCI_PLAY_PARMS* p, uint64_t now, LogLine* line, uint32_t* serial)
{
    if (p == nullptr && (flags & (MCI_FROM | MCI_TO | MCI_NOTIFY)) != 0) {
        return MCIERR_NULL_PARAMETER_BLOCK;
    }
    const DWORD_PTR callback = p != nullptr ? p->dwCallback : 0;
    if ((flags & MCI_FROM) != 0) {
        log_add(line, "from=0x%08lx", static_cast<unsigned long>(p->dwFrom));
    }
    if ((flags & MCI_TO) != 0) {
        log_add(line, "to=0x%08lx", static_cast<unsigned long>(p->dwTo));
    }
    add_callback(line, flags, callback);
    Drive& d = drive;
    if (!ready() || loading(now)) {
        return MCIERR_DEVICE_NOT_READY;
    }
    if (d.fail_all_plays) {
        return MCIERR_HARDWARE;
    }
    if (d.fail_plays > 0) {
        --d.fail_plays;
        return MCIERR_HARDWARE;
    }
    uint32_t from = current_frame(now);
    uint32_t to = disc_end(d.disc);
    if ((flags & MCI_FROM) != 0 && !frame_in_disc(self, p->dwFrom, &from)) {
        return MCIERR_OUTOFRANGE;
    }
    if ((flags & MCI_TO) != 0 && !frame_in_disc(self, p->dwTo, &to)) {
        return MCIERR_OUTOFRANGE;
    }
    if (to < from) {
        return MCIERR_OUTOFRANGE;
    }
    end_pending(MCI_NOTIFY_SUPERSEDED);
    d.position = from;
    if (from == to) {
        d.motion = Motion::idle;
        notify_done(flags, callback, self->device);
        return 0;
    }
    d.motion = Motion::playing;
    d.base_tick = now + d.start_ms;
    d.play_end = to;
    *serial = ++d.play_serial;
    if ((flags & MCI_NOTIFY) != 0) {
        d.pending = PendingNotify{true, reinterpret_cast<HANDLE>(callback), self->device};
    }
    return 0;
}

DWORD on_pause(const Instance* self, DWORD flags, const MCI_GENERIC_PARMS* p, uint64_t now, LogLine* line)
{
    const DWORD_PTR callback = p != nullptr ? p->dwCallback : 0;
    add_callback(line, flags, callback);
    if (!ready()) {
        return MCIERR_DEVICE_NOT_READY;
    }
    Drive& d = drive;
    if (d.motion == Motion::playing) {
        d.position = current_frame(now);
        d.motion = Motion::paused;
        end_pending(MCI_NOTIFY_ABORTED);
    }
    notify_done(flags, callback, self->device);
    return 0;
}

DWORD on_resume(const Instance* self, DWORD flags, const MCI_GENERIC_PARMS* p, uint64_t now, LogLine* line)
{
    const DWORD_PTR callback = p != nullptr ? p->dwCallback : 0;
    add_callback(line, flags, callback);
    if (!ready()) {
        return MCIERR_DEVICE_NOT_READY;
    }
    Drive& d = drive;
    if (d.motion == Motion::idle) {
        return MCIERR_HARDWARE;  // as cdaudio answers a resume with nothing paused
    }
    if (d.motion == Motion::paused) {
        d.motion = Motion::playing;
        d.base_tick = now;
    }
    notify_done(flags, callback, self->device);
    return 0;
}

DWORD on_stop(const Instance* self, DWORD flags, const MCI_GENERIC_PARMS* p, uint64_t now, LogLine* line)
{
    const DWORD_PTR callback = p != nullptr ? p->dwCallback : 0;
    add_callback(line, flags, callback);
    if (!ready()) {
        return MCIERR_DEVICE_NOT_READY;
    }
    halt(now, MCI_NOTIFY_ABORTED);
    notify_done(flags, callback, self->device);
    return 0;
}

DWORD on_seek(const Instance* self, DWORD flags, const MCI_SEEK_PARMS* p, uint64_t now, LogLine* line)
{
    if (p == nullptr) {
        return MCIERR_NULL_PARAMETER_BLOCK;
    }
    if ((flags & MCI_TO) != 0) {
        log_add(line, "to=0x%08lx", static_cast<unsigned long>(p->dwTo));
    }
    add_callback(line, flags, p->dwCallback);
    const DWORD where = flags & (MCI_SEEK_TO_START | MCI_SEEK_TO_END | MCI_TO);
    if (where == 0) {
        return MCIERR_MISSING_PARAMETER;
    }
    if ((where & (where - 1)) != 0) {
        return MCIERR_FLAGS_NOT_COMPATIBLE;
    }
    if (!ready()) {
        return MCIERR_DEVICE_NOT_READY;
    }
    const Disc& disc = drive.disc;
    uint32_t target = disc_start(disc);
    if (where == MCI_SEEK_TO_END) {
        target = disc_end(disc);
    } else if (where == MCI_TO && !frame_in_disc(self, p->dwTo, &target)) {
        return MCIERR_OUTOFRANGE;
    }
    halt(now, MCI_NOTIFY_SUPERSEDED);
    drive.position = target;
    notify_done(flags, p->dwCallback, self->device);
    return 0;
}

DWORD on_set(Instance* self, DWORD flags, const MCI_SET_PARMS* p, uint64_t now, LogLine* line)
{
    if (p == nullptr) {
        return MCIERR_NULL_PARAMETER_BLOCK;
    }
    const bool set_format = (flags & MCI_SET_TIME_FORMAT) != 0;
    if (set_format) {
        const char* name = time_format_name(p->dwTimeFormat);
        if (name != nullptr) {
            log_add(line, "time_format=%s", name);
        } else {
            log_add(line, "time_format=%lu", static_cast<unsigned long>(p->dwTimeFormat));
        }
    }
    add_callback(line, flags, p->dwCallback);
    const DWORD door = flags & (MCI_SET_DOOR_OPEN | MCI_SET_DOOR_CLOSED);
    if (door == (MCI_SET_DOOR_OPEN | MCI_SET_DOOR_CLOSED)) {
        return MCIERR_FLAGS_NOT_COMPATIBLE;
    }
    constexpr DWORD SETTING_FLAGS =
        MCI_SET_TIME_FORMAT | MCI_SET_DOOR_OPEN | MCI_SET_DOOR_CLOSED | MCI_SET_AUDIO | MCI_SET_VIDEO;
    if ((flags & SETTING_FLAGS) == 0) {
        return MCIERR_MISSING_PARAMETER;
    }
    TimeUnit unit = self->unit;
    if (set_format) {
        switch (p->dwTimeFormat) {
        case MCI_FORMAT_MILLISECONDS:
            unit = TimeUnit::milliseconds;
            break;
        case MCI_FORMAT_MSF:
            unit = TimeUnit::msf;
            break;
        case MCI_FORMAT_TMSF:
            unit = TimeUnit::tmsf;
            break;
        default:
            return MCIERR_BAD_TIME_FORMAT;
        }
    }
    self->unit = unit;
    // The tray moves at once: with or without MCI_WAIT the command returns with it moved.
    if (door != 0) {
        move_door(door == MCI_SET_DOOR_OPEN, now);
    }
    notify_done(flags, p->dwCallback, self->device);
    return 0;
}

DWORD on_getdevcaps(const Instance* self, DWORD flags, MCI_GETDEVCAPS_PARMS* p, LogLine* line)
{
    if (p == nullptr) {
        return MCIERR_NULL_PARAMETER_BLOCK;
    }
    if ((flags & MCI_GETDEVCAPS_ITEM) == 0) {
        return MCIERR_MISSING_PARAMETER;
    }
    log_add(line, "item=0x%08lx", static_cast<unsigned long>(p->dwItem));
    switch (p->dwItem) {
    case MCI_GETDEVCAPS_CAN_EJECT:
    case MCI_GETDEVCAPS_CAN_PLAY:
    case MCI_GETDEVCAPS_HAS_AUDIO:
        p->dwReturn = boolean_resource(true);
        break;
    case MCI_GETDEVCAPS_CAN_RECORD:
    case MCI_GETDEVCAPS_HAS_VIDEO:
    case MCI_GETDEVCAPS_USES_FILES:
    case MCI_GETDEVCAPS_COMPOUND_DEVICE:
    case MCI_GETDEVCAPS_CAN_SAVE:
        p->dwReturn = boolean_resource(false);
        break;
    case MCI_GETDEVCAPS_DEVICE_TYPE:
        p->dwReturn = MAKEMCIRESOURCE(MCI_DEVTYPE_CD_AUDIO, MCI_DEVTYPE_CD_AUDIO);
        break;
    default:
        return MCIERR_UNSUPPORTED_FUNCTION;
    }
    notify_done(flags, p->dwCallback, self->device);
    return MCI_RESOURCE_RETURNED;
}

// MCI hands drivers the wide form of MCI_INFO, whichever form the program used.
DWORD on_info(const Instance* self, DWORD flags, MCI_INFO_PARMSW* p)
{
    if (p == nullptr || p->lpstrReturn == nullptr) {
        return MCIERR_NULL_PARAMETER_BLOCK;
    }
    wchar_t identity[16];
    const wchar_t* text = nullptr;
    if ((flags & MCI_INFO_PRODUCT) != 0) {
        text = PRODUCT_NAME;
    } else if ((flags & MCI_INFO_MEDIA_IDENTITY) != 0) {
        if (!ready()) {
            return MCIERR_DEVICE_NOT_READY;
        }
        const Disc& disc = drive.disc;
        const size_t toc_bytes = sizeof disc.start[0] * static_cast<size_t>(disc.track_count + 1);
        const uint32_t id = hash_bytes(reinterpret_cast<const char*>(disc.start), static_cast<DWORD>(toc_bytes));
        _snwprintf(identity, sizeof identity / sizeof identity[0], L"%u", id);
        identity[sizeof identity / sizeof identity[0] - 1] = L'\0';
        text = identity;
    } else if ((flags & MCI_INFO_MEDIA_UPC) != 0) {
        return MCIERR_NO_IDENTITY;
    } else {
        return MCIERR_MISSING_PARAMETER;
    }
    if (p->dwRetSize == 0) {
        return MCIERR_PARAM_OVERFLOW;
    }
    lstrcpynW(p->lpstrReturn, text, static_cast<int>(p->dwRetSize));
    notify_done(flags, p->dwCallback, self->device);
    return 0;
}

// Blocks a play sent with MCI_WAIT until it is over: reached its end, or was stopped or replaced.
void wait_for_play(uint32_t serial)
{
    for (;;) {
        EnterCriticalSection(&drive_lock);
        const uint64_t now = now_ms();
        advance(now);
        flush_notes();
        const bool over = drive.motion != Motion::playing || drive.play_serial != serial;
        LeaveCriticalSection(&drive_lock);
        if (over) {
            return;
        }
        Sleep(PLAY_WAIT_POLL_MS);
    }
}

}  // namespace

LRESULT mci_command(DWORD_PTR id, UINT command, DWORD flags, DWORD_PTR parms)
{
    EnterCriticalSection(&drive_lock);
    Instance* self = instance_of(id);
    if (self == nullptr) {
        LeaveCriticalSection(&drive_lock);
        return MCIERR_INVALID_DEVICE_ID;
    }
    const uint64_t now = now_ms();
    refresh_settings(false, now);
    advance(now);
    flush_notes();

    LogLine line;
    const char* name = command_name(command);
    char unnamed[16];
    if (name == nullptr) {
        std::snprintf(unnamed, sizeof unnamed, "MCI_0x%04x", command);
        name = unnamed;
    }
    log_start(&line, name);
    log_add(&line, "dev=%u", self->device);
    log_add_flags(&line, command, flags);

    DWORD result = 0;
    DWORD visible_return = 0;
    uint32_t play_serial = 0;
    switch (command) {
    case MCI_OPEN_DRIVER:
        result = on_open(self, flags, reinterpret_cast<const MCI_OPEN_PARMSW*>(parms), &line);
        break;
    case MCI_CLOSE_DRIVER:
        result = on_close(self, flags, reinterpret_cast<const MCI_GENERIC_PARMS*>(parms), now, &line);
        break;
    case MCI_STATUS:
        result = on_status(self, flags, reinterpret_cast<MCI_STATUS_PARMS*>(parms), now, &line, &visible_return);
        break;
    case MCI_SET:
        result = on_set(self, flags, reinterpret_cast<const MCI_SET_PARMS*>(parms), now, &line);
        break;
    case MCI_PLAY:
        result = on_play(self, flags, reinterpret_cast<const MCI_PLAY_PARMS*>(parms), now, &line, &play_serial);
        break;
    case MCI_PAUSE:
        result = on_pause(self, flags, reinterpret_cast<const MCI_GENERIC_PARMS*>(parms), now, &line);
        break;
    case MCI_RESUME:
        result = on_resume(self, flags, reinterpret_cast<const MCI_GENERIC_PARMS*>(parms), now, &line);
        break;
    case MCI_STOP:
        result = on_stop(self, flags, reinterpret_cast<const MCI_GENERIC_PARMS*>(parms), now, &line);
        break;
    case MCI_SEEK:
        result = on_seek(self, flags, reinterpret_cast<const MCI_SEEK_PARMS*>(parms), now, &line);
        break;
    case MCI_GETDEVCAPS:
        result = on_getdevcaps(self, flags, reinterpret_cast<MCI_GETDEVCAPS_PARMS*>(parms), &line);
        break;
    case MCI_INFO:
        result = on_info(self, flags, reinterpret_cast<MCI_INFO_PARMSW*>(parms));
        break;
    case MCI_RECORD:
    case MCI_LOAD:
    case MCI_SAVE:
        result = MCIERR_UNSUPPORTED_FUNCTION;
        break;
    default:
        result = MCIERR_UNRECOGNIZED_COMMAND;
        break;
    }
    log_add_result(&line, LOWORD(result));
    if (command == MCI_STATUS && LOWORD(result) == 0) {
        log_add(&line, "return=0x%08lx", static_cast<unsigned long>(visible_return));
    }
    log_write(&line);
    flush_notes();
    LeaveCriticalSection(&drive_lock);

    if (command == MCI_PLAY && LOWORD(result) == 0 && (flags & MCI_WAIT) != 0 && play_serial != 0) {
        wait_for_play(play_serial);
    }
    return static_cast<LRESULT>(result);
}
