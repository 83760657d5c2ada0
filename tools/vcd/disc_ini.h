#pragma once
// The drive's own settings file, disc.ini, read from its text. Platform-free.
#include <cstddef>
#include <cstdint>

#include "tools/vcd/disc.h"

constexpr uint32_t kDefaultSpeed = 1;
// Faster than this would make a whole disc end within one tick of the driver's clock thread.
constexpr uint32_t kMaxSpeed = 10000;

struct DiscSettings {
    // False when the text has no [disc] section: most likely a file caught half written, which the
    // driver then ignores until it changes again.
    bool has_section;
    bool tracks_valid; // false when a tracks= value was given but could not be read
    Disc disc;
    bool disc_present;
    bool drive_present;
    uint32_t speed;
    int fail_plays;
    bool fail_all_plays;
    bool door_open;
    bool stop_after_pause;
};

// Settings with every key at its default: the demo disc in a closed drive, normal speed.
void default_settings(DiscSettings* settings);

// Reads the [disc] section of an ini text (size bytes, need not be terminated). Keys and the
// section name are case-insensitive; ';' and '#' start comment lines; unknown keys and values
// that cannot be read leave the default in place.
void parse_disc_ini(const char* text, size_t size, DiscSettings* settings);
