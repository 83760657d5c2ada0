#pragma once
// The drive's own settings file, disc.ini, read from its text. Platform-free.
#include <cstddef>
#include <cstdint>

#include "tools/vcd/disc.h"

constexpr uint32_t DEFAULT_SPEED = 1;
// Faster than this would make a whole disc end within one tick of the driver's clock thread.
constexpr uint32_t MAX_SPEED = 10000;

// How a drive answers while it loads a disc after its door has closed.
enum class LoadKind {
    not_ready,  // mode NOT_READY; disc queries and plays fail with MCIERR_DEVICE_NOT_READY
    open,  // mode OPEN, the rest as not_ready: Wine's mcicda over a drive that reports "medium not present"
    refuse,  // the disc answers queries, but plays fail with MCIERR_DEVICE_NOT_READY
};

// Upper bound for load_ms and start_ms: a minute is longer than any drive takes.
constexpr uint32_t MAX_DELAY_MS = 60000;

struct DiscSettings {
    // False when the text has no [disc] section: most likely a file caught half written, which the
    // driver then ignores until it changes again.
    bool has_section;
    bool tracks_valid;  // false when a tracks= value was given but could not be read
    Disc disc;
    bool disc_present;
    bool drive_present;
    uint32_t speed;
    int fail_plays;
    bool fail_all_plays;
    bool door_open;
    bool stop_after_pause;
    bool notify_end;  // a play that reaches its end notifies success
    bool short_last_track;  // the last track's and the disc's lengths are one frame short
    uint32_t load_ms;  // after the door closes, the drive loads the disc for this long
    LoadKind load_kind;  // and meanwhile answers like this
    uint32_t start_ms;  // after accepting a play, the drive reports STOP this long before it plays
};

// Settings with every key at its default: the demo disc in a closed drive, normal speed.
void default_settings(DiscSettings* settings);

// Reads the [disc] section of an ini text (size bytes, need not be terminated). Keys and the
// section name are case-insensitive; ';' and '#' start comment lines; unknown keys and values
// that cannot be read leave the default in place.
void parse_disc_ini(const char* text, size_t size, DiscSettings* settings);
