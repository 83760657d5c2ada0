#include "tools/vcd/drive_clock.h"

#include "tools/vcd/drive_state.h"
#include "tools/vcd/vcd_log.h"

// MCI exports it, but mingw-w64's mmddk.h does not declare it.
extern "C" BOOL WINAPI mciDriverNotify(HANDLE callback, MCIDEVICEID device, UINT status);

namespace {

constexpr int MAX_QUEUED_NOTES = 8;
constexpr uint64_t MILLISECONDS_PER_SECOND = 1000;

struct Note {
    HANDLE callback;
    MCIDEVICEID device;
    UINT code;
};

Note notes[MAX_QUEUED_NOTES];
int note_count;

void queue_note(HANDLE callback, MCIDEVICEID device, UINT code)
{
    if (note_count < MAX_QUEUED_NOTES) {
        notes[note_count++] = Note{callback, device, code};
    }
}

}  // namespace

uint32_t current_frame(uint64_t now)
{
    const Drive& d = drive;
    if (d.motion != Motion::playing || now < d.base_tick) {
        return d.position;
    }
    const uint64_t elapsed = now - d.base_tick;
    const uint64_t frame = d.position + elapsed * d.speed * FRAMES_PER_SECOND / MILLISECONDS_PER_SECOND;
    return frame >= d.play_end ? d.play_end : static_cast<uint32_t>(frame);
}

void flush_notes()
{
    for (int i = 0; i < note_count; ++i) {
        const Note& n = notes[i];
        LogLine line;
        log_start(&line, "NOTIFY");
        log_add(&line, "dev=%u code=%s callback=0x%08llx", n.device, notify_name(n.code),
            static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(n.callback)));
        log_write(&line);
        // Posts MM_MCINOTIFY; it never waits for the window, so holding drive_lock here is safe.
        mciDriverNotify(n.callback, n.device, n.code);
    }
    note_count = 0;
}

void drop_notes()
{
    note_count = 0;
}

void end_pending(UINT code)
{
    PendingNotify& p = drive.pending;
    if (p.active) {
        p.active = false;
        queue_note(p.callback, p.device, code);
    }
}

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

void advance(uint64_t now)
{
    Drive& d = drive;
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

void halt(uint64_t now, UINT code)
{
    Drive& d = drive;
    d.position = current_frame(now);
    d.motion = Motion::idle;
    end_pending(code);
}

void move_door(bool open, uint64_t now)
{
    Drive& d = drive;
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

bool loading(uint64_t now)
{
    const Drive& d = drive;
    return !d.door_open && d.disc_present && d.closed_since_open && now - d.closed_tick < d.load_ms;
}

bool ready()
{
    const Drive& d = drive;
    return !d.door_open && d.disc_present && (d.load_kind == LoadKind::refuse || !loading(now_ms()));
}
