#include "tools/vcd/drive_settings.h"

#include "tools/vcd/drive_clock.h"
#include "tools/vcd/drive_state.h"
#include "tools/vcd/settings_file.h"
#include "tools/vcd/vcd_log.h"

namespace {

SettingsFile settings_file;

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
    Drive& d = drive;
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

}  // namespace

bool refresh_settings(bool first, uint64_t now)
{
    DiscSettings s;
    if (!read_settings_file(&settings_file, first, &s)) {
        return false;
    }
    apply_settings(s, first, now);
    return true;
}

void reset_drive(uint64_t now)
{
    char directory[MAX_PATH];
    read_directory(directory, sizeof directory);
    log_set_directory(directory);
    open_settings_file(&settings_file, directory);
    drive = Drive{};
    drop_notes();
    if (!refresh_settings(true, now)) {
        DiscSettings defaults;
        default_settings(&defaults);
        apply_settings(defaults, true, now);
    }
}
