// The virtual CD drive: an MCI driver that MCI loads for the "CDAudio" device, answering the
// same commands a CD audio driver answers, with a disc, a door and a clock of its own.
//
// Threads: MCI calls DriverProc on whatever thread the program sends its command from; the
// clock thread ends plays on time and notices changes of disc.ini. Everything below lives in
// process-wide state guarded by g_lock; no function here blocks while holding it.
#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>

#include <cstdio>
#include <cstring>

#include "tools/vcd/disc.h"
#include "tools/vcd/disc_ini.h"
#include "tools/vcd/vcd_log.h"

// MCI exports it, but mingw-w64's mmddk.h does not declare it.
extern "C" BOOL WINAPI mciDriverNotify(HANDLE callback, MCIDEVICEID device, UINT status);

namespace {

constexpr DWORD kClockTickMs = 20;
constexpr DWORD kPlayWaitPollMs = 10;
constexpr int kMaxInstances = 16;
constexpr int kMaxQueuedNotes = 8;
constexpr size_t kMaxIniBytes = 8192;
constexpr uint64_t kMillisecondsPerSecond = 1000;
constexpr const char* kDirectoryVariable = "VCD_DIR";
constexpr const char* kIniFileName = "disc.ini";
constexpr const wchar_t* kProductName = L"Virtual CD drive";
// DRV_OPEN without parameters opens the driver for configuration only; any non-zero id will do.
constexpr LRESULT kConfigurationInstance = 0xFFFFFFFF;

enum class Motion { idle, playing, paused };

// One per MCI device opened on the driver: each has its own device id and time format, while
// the drive itself, its disc and its door, is shared by all of them as a real drive is.
struct Instance {
    bool used;
    bool open; // MCI_OPEN_DRIVER succeeded and no MCI_CLOSE_DRIVER yet
    bool shareable;
    MCIDEVICEID device;
    TimeUnit unit;
};

// The notification a play asked for; MCI keeps at most one pending per device, one per drive here.
struct PendingNotify {
    bool active;
    HANDLE callback;
    MCIDEVICEID device;
};

struct Note {
    HANDLE callback;
    MCIDEVICEID device;
    UINT code;
};

struct Drive {
    bool drive_present;
    Disc disc;
    bool disc_present;
    bool door_open;
    Motion motion;
    // While playing, the frame at base_tick (a play starts moving at base_tick, which start_ms
    // puts in the future); otherwise the current frame.
    uint32_t position;
    uint64_t base_tick;
    uint32_t play_end;
    uint32_t play_serial; // tells a caller waiting on its play (MCI_WAIT) that a newer one replaced it
    uint32_t speed;
    int fail_plays;
    bool fail_all_plays;
    bool stop_after_pause;
    bool notify_end;
    bool short_last_track;
    uint32_t load_ms;
    LoadKind load_kind;
    uint32_t start_ms;
    bool closed_since_open; // the door has closed since the drive was opened: it loads the disc
    uint64_t closed_tick;   // when it last closed; loading lasts load_ms from then, as load_ms says now
    bool file_door_open; // the door= value last read, so that only a change of it moves the door
    PendingNotify pending;
};

struct SettingsFile {
    char path[MAX_PATH];
    bool seen;
    FILETIME time;
    DWORD size;
    uint32_t hash;
};

CRITICAL_SECTION g_lock;
Drive g_drive;
SettingsFile g_file;
Instance g_instances[kMaxInstances];
// Notifications decided while handling a command, posted after its log line is written so that
// the log reads in cause-then-effect order.
Note g_notes[kMaxQueuedNotes];
int g_note_count;
HANDLE g_clock_thread;
HANDLE g_clock_stop;

uint64_t now_ms() { return GetTickCount64(); }

// ---- the drive's clock and notifications ----

uint32_t current_frame(uint64_t now)
{
    const Drive& d = g_drive;
    if (d.motion != Motion::playing || now < d.base_tick) {
        return d.position;
    }
    const uint64_t elapsed = now - d.base_tick;
    const uint64_t frame = d.position + elapsed * d.speed * kFramesPerSecond / kMillisecondsPerSecond;
    return frame >= d.play_end ? d.play_end : static_cast<uint32_t>(frame);
}

void queue_note(HANDLE callback, MCIDEVICEID device, UINT code)
{
    if (g_note_count < kMaxQueuedNotes) {
        g_notes[g_note_count++] = Note{callback, device, code};
    }
}

void flush_notes()
{
    for (int i = 0; i < g_note_count; ++i) {
        const Note& n = g_notes[i];
        LogLine line;
        log_start(&line, "NOTIFY");
        log_add(&line, "dev=%u code=%s callback=0x%08llx", n.device, notify_name(n.code),
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(n.callback)));
        log_write(&line);
        // Posts MM_MCINOTIFY; it never waits for the window, so holding g_lock here is safe.
        mciDriverNotify(n.callback, n.device, n.code);
    }
    g_note_count = 0;
}

void end_pending(UINT code)
{
    PendingNotify& p = g_drive.pending;
    if (p.active) {
        p.active = false;
        queue_note(p.callback, p.device, code);
    }
}

// A command that asked for MCI_NOTIFY and is done at once: like MCI, one pending notification
// per device, so it first supersedes a play's.
void notify_done(DWORD flags, DWORD_PTR callback, MCIDEVICEID device)
{
    if ((flags & MCI_NOTIFY) == 0) {
        return;
    }
    end_pending(MCI_NOTIFY_SUPERSEDED);
    queue_note(reinterpret_cast<HANDLE>(callback), device, MCI_NOTIFY_SUCCESSFUL);
}

void log_event(const char* text)
{
    LogLine line;
    log_start(&line, text);
    log_write(&line);
}

// Ends a play that has reached its end. Runs before every command and on every clock tick, so
// the end is seen on time whether or not anybody asks.
void advance(uint64_t now)
{
    Drive& d = g_drive;
    if (d.motion != Motion::playing || current_frame(now) < d.play_end) {
        return;
    }
    d.position = d.play_end;
    d.motion = Motion::idle;
    LogLine line;
    log_start(&line, "END");
    log_add(&line, "frame=%u", d.position);
    log_write(&line);
    // Windows' cdaudio and Wine's mcicda tell nobody: the notification stays pending until the
    // next play, pause, stop or close ends it.
    if (d.notify_end) {
        end_pending(MCI_NOTIFY_SUCCESSFUL);
    }
}

// Stops whatever moves, keeping the position, and ends a pending notification with code.
void halt(uint64_t now, UINT code)
{
    Drive& d = g_drive;
    d.position = current_frame(now);
    d.motion = Motion::idle;
    end_pending(code);
}

void move_door(bool open, uint64_t now)
{
    Drive& d = g_drive;
    if (open == d.door_open) {
        return;
    }
    if (open) {
        halt(now, MCI_NOTIFY_ABORTED);
    } else {
        // Closing reloads the disc: the drive starts over at its beginning, once it has loaded it.
        d.motion = Motion::idle;
        d.position = disc_start(d.disc);
        d.closed_since_open = true;
        d.closed_tick = now;
    }
    d.door_open = open;
}

// Still loading the disc after the door closed.
bool loading(uint64_t now)
{
    const Drive& d = g_drive;
    return !d.door_open && d.disc_present && d.closed_since_open && now - d.closed_tick < d.load_ms;
}

// The disc can be read: door closed, a disc in and not still loading (a drive that only refuses
// plays while it loads answers queries meanwhile).
bool ready()
{
    const Drive& d = g_drive;
    return !d.door_open && d.disc_present && (d.load_kind == LoadKind::refuse || !loading(now_ms()));
}

const char* load_kind_name(LoadKind kind)
{
    switch (kind) {
    case LoadKind::open:
        return "open";
    case LoadKind::refuse:
        return "refuse";
    case LoadKind::not_ready:
        break;
    }
    return "not_ready";
}

// ---- disc.ini ----

uint32_t hash_bytes(const char* bytes, DWORD size)
{
    constexpr uint32_t kFnvOffset = 2166136261u;
    constexpr uint32_t kFnvPrime = 16777619u;
    uint32_t h = kFnvOffset;
    for (DWORD i = 0; i < size; ++i) {
        h = (h ^ static_cast<unsigned char>(bytes[i])) * kFnvPrime;
    }
    return h;
}

void log_settings(const DiscSettings& s)
{
    LogLine line;
    log_start(&line, "CONFIG");
    log_add(&line, "tracks=%d disc=%d drive=%d speed=%u fail_plays=%d fail_all_plays=%d door=%s stop_after_pause=%d",
            s.disc.track_count, s.disc_present ? 1 : 0, s.drive_present ? 1 : 0, s.speed, s.fail_plays,
            s.fail_all_plays ? 1 : 0, s.door_open ? "open" : "closed", s.stop_after_pause ? 1 : 0);
    log_add(&line, "notify_end=%d short_last_track=%d load_ms=%u load_kind=%s start_ms=%u", s.notify_end ? 1 : 0,
            s.short_last_track ? 1 : 0, s.load_ms, load_kind_name(s.load_kind), s.start_ms);
    if (!s.tracks_valid) {
        log_add(&line, "error=tracks");
    }
    log_write(&line);
}

void apply_settings(const DiscSettings& s, bool first, uint64_t now)
{
    Drive& d = g_drive;
    log_settings(s);
    if (d.motion == Motion::playing && now >= d.base_tick) {
        // A new speed counts from now on: what has been played so far stays played.
        d.position = current_frame(now);
        d.base_tick = now;
    }
    d.drive_present = s.drive_present;
    d.speed = s.speed;
    d.fail_plays = s.fail_plays;
    d.fail_all_plays = s.fail_all_plays;
    d.stop_after_pause = s.stop_after_pause;
    d.notify_end = s.notify_end;
    d.short_last_track = s.short_last_track;
    d.load_ms = s.load_ms;
    d.load_kind = s.load_kind;
    d.start_ms = s.start_ms;
    if (first) {
        d.disc = s.disc;
        d.disc_present = s.disc_present;
        d.door_open = s.door_open;
        d.file_door_open = s.door_open;
        d.position = disc_start(d.disc);
        return;
    }
    if (!same_layout(d.disc, s.disc) || d.disc_present != s.disc_present) {
        halt(now, MCI_NOTIFY_ABORTED);
        d.disc = s.disc;
        d.disc_present = s.disc_present;
        d.position = disc_start(d.disc);
        log_event("DISC changed");
    }
    if (s.door_open != d.file_door_open) {
        d.file_door_open = s.door_open;
        move_door(s.door_open, now);
        log_event(s.door_open ? "DOOR open source=disc.ini" : "DOOR closed source=disc.ini");
    }
}

// Re-reads disc.ini when its time, size or bytes differ from the last read. first applies it
// whatever it says, as the state of a freshly opened drive. True when it applied the file.
bool refresh_settings(bool first, uint64_t now)
{
    if (g_file.path[0] == '\0') {
        return false;
    }
    HANDLE file = CreateFileA(g_file.path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false; // no file (yet, or being replaced): keep what was read before
    }
    FILETIME time{};
    GetFileTime(file, nullptr, nullptr, &time);
    char bytes[kMaxIniBytes];
    DWORD size = 0;
    const BOOL read_ok = ReadFile(file, bytes, sizeof bytes, &size, nullptr);
    CloseHandle(file);
    if (!read_ok) {
        return false;
    }
    const uint32_t hash = hash_bytes(bytes, size);
    if (!first && g_file.seen && CompareFileTime(&time, &g_file.time) == 0 && size == g_file.size &&
        hash == g_file.hash) {
        return false;
    }
    DiscSettings s;
    default_settings(&s);
    parse_disc_ini(bytes, size, &s);
    if (!s.has_section) {
        return false; // caught between truncation and writing: look again on the next tick
    }
    g_file.seen = true;
    g_file.time = time;
    g_file.size = size;
    g_file.hash = hash;
    apply_settings(s, first, now);
    return true;
}

// VCD_DIR as a Windows path; a Unix absolute path (Wine passes the Unix environment through)
// is reached through drive Z:.
void read_directory(char* out, size_t size)
{
    char value[MAX_PATH];
    const DWORD n = GetEnvironmentVariableA(kDirectoryVariable, value, sizeof value);
    out[0] = '\0';
    if (n == 0 || n >= sizeof value) {
        return;
    }
    if (value[0] == '/') {
        std::snprintf(out, size, "Z:%s", value);
        for (char* p = out; *p != '\0'; ++p) {
            if (*p == '/') {
                *p = '\\';
            }
        }
        return;
    }
    std::snprintf(out, size, "%s", value);
}

// The drive as it is when a program first opens it: settings from VCD_DIR's disc.ini, or the
// defaults when there is none.
void reset_drive(uint64_t now)
{
    char directory[MAX_PATH];
    read_directory(directory, sizeof directory);
    log_set_directory(directory);
    g_file = SettingsFile{};
    if (directory[0] != '\0') {
        const size_t n = std::strlen(directory);
        const bool has_separator = directory[n - 1] == '\\';
        const int written = std::snprintf(g_file.path, sizeof g_file.path, "%s%s%s", directory,
                                          has_separator ? "" : "\\", kIniFileName);
        if (written < 0 || static_cast<size_t>(written) >= sizeof g_file.path) {
            g_file.path[0] = '\0';
        }
    }
    g_drive = Drive{};
    g_note_count = 0;
    if (!refresh_settings(true, now)) {
        DiscSettings defaults;
        default_settings(&defaults);
        apply_settings(defaults, true, now);
    }
}

// ---- the clock thread ----

DWORD WINAPI clock_main(void* stop_event)
{
    while (WaitForSingleObject(static_cast<HANDLE>(stop_event), kClockTickMs) == WAIT_TIMEOUT) {
        EnterCriticalSection(&g_lock);
        const uint64_t now = now_ms();
        refresh_settings(false, now);
        advance(now);
        flush_notes();
        LeaveCriticalSection(&g_lock);
    }
    return 0;
}

void start_clock()
{
    if (g_clock_thread != nullptr) {
        return;
    }
    g_clock_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_clock_thread = CreateThread(nullptr, 0, clock_main, g_clock_stop, 0, nullptr);
}

// Called without g_lock held: the thread may be waiting for it.
void join_clock(HANDLE thread, HANDLE stop)
{
    if (thread == nullptr) {
        return;
    }
    SetEvent(stop);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(stop);
}

// ---- the commands ----

bool any_other_open(const Instance* self)
{
    for (const Instance& i : g_instances) {
        if (&i != self && i.used && i.open) {
            return true;
        }
    }
    return false;
}

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
    if (!g_drive.drive_present) {
        return MCIERR_CANNOT_LOAD_DRIVER; // what MCI answers on a machine without a CD drive
    }
    const bool shareable = (flags & MCI_OPEN_SHAREABLE) != 0;
    for (const Instance& i : g_instances) {
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
        halt(now, MCI_NOTIFY_ABORTED); // the last user gone: the drive stops, as cdaudio's does
    } else if (g_drive.pending.active && g_drive.pending.device == self->device) {
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
    const Drive& d = g_drive;
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

bool valid_track(DWORD track) { return track >= 1 && track <= static_cast<DWORD>(g_drive.disc.track_count); }

// Computes a status item into *value; returns the MCI result (error in the low word, the kind
// of value in the high word).
DWORD status_value(const Instance* self, DWORD flags, DWORD item, DWORD track, uint64_t now, DWORD* value)
{
    const Disc& disc = g_drive.disc;
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
        uint32_t frames =
            with_track ? track_length(disc, static_cast<int>(track)) : disc_end(disc) - disc_start(disc);
        // Windows' cdaudio (and Wine's mcicda after it) count the last track one frame short.
        if (g_drive.short_last_track && (!with_track || static_cast<int>(track) == disc.track_count)) {
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

DWORD on_status(const Instance* self, DWORD flags, MCI_STATUS_PARMS* p, uint64_t now, LogLine* line,
                DWORD* visible_return)
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
        return result; // dwReturn stays as the caller left it
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
    const Disc& disc = g_drive.disc;
    return frame_of_value(disc, self->unit, value, frame) && *frame >= disc_start(disc) && *frame <= disc_end(disc);
}

DWORD on_play(const Instance* self, DWORD flags, const MCI_PLAY_PARMS* p, uint64_t now, LogLine* line,
              uint32_t* serial)
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
    Drive& d = g_drive;
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
    Drive& d = g_drive;
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
    Drive& d = g_drive;
    if (d.motion == Motion::idle) {
        return MCIERR_HARDWARE; // as cdaudio answers a resume with nothing paused
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
    const Disc& disc = g_drive.disc;
    uint32_t target = disc_start(disc);
    if (where == MCI_SEEK_TO_END) {
        target = disc_end(disc);
    } else if (where == MCI_TO && !frame_in_disc(self, p->dwTo, &target)) {
        return MCIERR_OUTOFRANGE;
    }
    halt(now, MCI_NOTIFY_SUPERSEDED);
    g_drive.position = target;
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
    constexpr DWORD kSettings =
        MCI_SET_TIME_FORMAT | MCI_SET_DOOR_OPEN | MCI_SET_DOOR_CLOSED | MCI_SET_AUDIO | MCI_SET_VIDEO;
    if ((flags & kSettings) == 0) {
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
        text = kProductName;
    } else if ((flags & MCI_INFO_MEDIA_IDENTITY) != 0) {
        if (!ready()) {
            return MCIERR_DEVICE_NOT_READY;
        }
        const Disc& disc = g_drive.disc;
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
        EnterCriticalSection(&g_lock);
        const uint64_t now = now_ms();
        advance(now);
        flush_notes();
        const bool over = g_drive.motion != Motion::playing || g_drive.play_serial != serial;
        LeaveCriticalSection(&g_lock);
        if (over) {
            return;
        }
        Sleep(kPlayWaitPollMs);
    }
}

Instance* instance_of(DWORD_PTR id)
{
    if (id == 0 || id > static_cast<DWORD_PTR>(kMaxInstances)) {
        return nullptr;
    }
    Instance* self = &g_instances[id - 1];
    return self->used ? self : nullptr;
}

LRESULT mci_command(DWORD_PTR id, UINT command, DWORD flags, DWORD_PTR parms)
{
    EnterCriticalSection(&g_lock);
    Instance* self = instance_of(id);
    if (self == nullptr) {
        LeaveCriticalSection(&g_lock);
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
    LeaveCriticalSection(&g_lock);

    if (command == MCI_PLAY && LOWORD(result) == 0 && (flags & MCI_WAIT) != 0 && play_serial != 0) {
        wait_for_play(play_serial);
    }
    return static_cast<LRESULT>(result);
}

LRESULT on_driver_open(const MCI_OPEN_DRIVER_PARMS* p)
{
    if (p == nullptr) {
        return kConfigurationInstance;
    }
    EnterCriticalSection(&g_lock);
    bool first = true;
    int free_slot = -1;
    for (int i = 0; i < kMaxInstances; ++i) {
        if (g_instances[i].used) {
            first = false;
        } else if (free_slot < 0) {
            free_slot = i;
        }
    }
    LRESULT id = 0;
    if (free_slot >= 0) {
        if (first) {
            reset_drive(now_ms());
        }
        g_instances[free_slot] = Instance{true, false, false, p->wDeviceID, TimeUnit::msf};
        id = free_slot + 1;
    }
    LeaveCriticalSection(&g_lock);
    return id;
}

LRESULT on_driver_close(DWORD_PTR id)
{
    HANDLE thread = nullptr;
    HANDLE stop = nullptr;
    EnterCriticalSection(&g_lock);
    Instance* self = instance_of(id);
    if (self != nullptr) {
        if (self->open) {
            // Closed without MCI_CLOSE_DRIVER (the program ended): let go of it all the same.
            self->open = false;
            if (!any_other_open(self)) {
                halt(now_ms(), MCI_NOTIFY_ABORTED);
                flush_notes();
            }
        }
        *self = Instance{};
        bool any_used = false;
        for (const Instance& i : g_instances) {
            any_used = any_used || i.used;
        }
        if (!any_used) {
            thread = g_clock_thread;
            stop = g_clock_stop;
            g_clock_thread = nullptr;
            g_clock_stop = nullptr;
        }
    }
    LeaveCriticalSection(&g_lock);
    join_clock(thread, stop);
    return 1;
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        InitializeCriticalSection(&g_lock);
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        DeleteCriticalSection(&g_lock);
    }
    return TRUE;
}

extern "C" LRESULT CALLBACK DriverProc(DWORD_PTR id, HDRVR driver, UINT message, LPARAM param1, LPARAM param2)
{
    switch (message) {
    case DRV_LOAD:
    case DRV_FREE:
    case DRV_ENABLE:
    case DRV_DISABLE:
        return 1;
    case DRV_OPEN: {
        MCI_OPEN_DRIVER_PARMS* p = reinterpret_cast<MCI_OPEN_DRIVER_PARMS*>(param2);
        if (p != nullptr) {
            p->wType = MCI_DEVTYPE_CD_AUDIO; // use MCI's own cdaudio command table for string commands
            p->wCustomCommandTable = MCI_NO_COMMAND_TABLE;
        }
        return on_driver_open(p);
    }
    case DRV_CLOSE:
        return on_driver_close(id);
    case DRV_QUERYCONFIGURE:
        return 0;
    case DRV_INSTALL:
    case DRV_REMOVE:
        return DRVCNF_OK;
    default:
        break;
    }
    if (message < DRV_MCI_FIRST || message > DRV_MCI_LAST) {
        return DefDriverProc(id, driver, message, param1, param2);
    }
    return mci_command(id, message, static_cast<DWORD>(param1), static_cast<DWORD_PTR>(param2));
}
