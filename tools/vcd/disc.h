#pragma once
// The virtual disc: its table of contents and the three time formats a CD audio device speaks.
// Platform-free: no Windows header here, so the arithmetic can be read without the driver around it.
#include <cstddef>
#include <cstdint>

constexpr uint32_t FRAMES_PER_SECOND = 75;
constexpr uint32_t FRAMES_PER_MINUTE = 60 * FRAMES_PER_SECOND;
// Track 1 starts after the two-second pre-gap, at 0:02:00 in absolute disc time.
constexpr uint32_t LEAD_IN_FRAMES = 2 * FRAMES_PER_SECOND;
constexpr int MAX_TRACKS = 99;

struct Disc {
    int track_count;
    // start[i] is the first frame of track i + 1; start[track_count] is the lead-out, the end of the disc.
    uint32_t start[MAX_TRACKS + 1];
};

// The units of MCI_SET_TIME_FORMAT that a CD audio device accepts.
enum class TimeUnit { milliseconds, msf, tmsf };

// Track lengths as "m:ss" separated by commas ("4:05,12:30,3:04"); blanks around items are allowed.
// Fills disc and returns true only when every item is valid, there is at least one and at most
// MAX_TRACKS, and none is empty.
bool parse_track_lengths(const char* text, Disc* disc);

// The disc used when nothing else is configured: ten tracks, about forty-two minutes.
constexpr const char* DEMO_TRACK_LENGTHS = "4:05,3:42,5:17,2:58,4:33,6:01,3:15,4:49,2:36,5:24";
void make_demo_disc(Disc* disc);

bool same_layout(const Disc& a, const Disc& b);

uint32_t disc_start(const Disc& disc);
uint32_t disc_end(const Disc& disc);
uint32_t track_length(const Disc& disc, int track);

// The track holding frame; the lead-out counts as part of the last track, as a drive reports after
// playing to the end.
int track_at(const Disc& disc, uint32_t frame);

// A caller's time value (MCI_FROM, MCI_TO, MCI_SEEK's MCI_TO) to an absolute frame. False when
// a TMSF value names a track the disc does not have; no range check beyond that.
bool frame_of_value(const Disc& disc, TimeUnit unit, uint32_t value, uint32_t* frame);

// An absolute frame as a position in the given unit: TMSF relative to its track, MSF and
// milliseconds absolute (so track 1 starts at 0:02:00 and at 2000 ms).
uint32_t position_value(const Disc& disc, TimeUnit unit, uint32_t frame);

// A duration in frames in the given unit; TMSF durations come back as MSF, as drives report them.
uint32_t duration_value(TimeUnit unit, uint32_t frames);

constexpr uint32_t make_msf(uint32_t minutes, uint32_t seconds, uint32_t frames)
{
    return (minutes & 0xff) | ((seconds & 0xff) << 8) | ((frames & 0xff) << 16);
}

constexpr uint32_t make_tmsf(uint32_t track, uint32_t minutes, uint32_t seconds, uint32_t frames)
{
    return (track & 0xff) | ((minutes & 0xff) << 8) | ((seconds & 0xff) << 16) | ((frames & 0xff) << 24);
}
