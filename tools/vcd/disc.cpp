#include "tools/vcd/disc.h"

namespace {

constexpr uint32_t MILLISECONDS_PER_SECOND = 1000;
// Upper bound for one track, well past any real disc; it keeps the MSF minute byte meaningful.
constexpr uint32_t MAX_TRACK_MINUTES = 99;
constexpr uint32_t SECONDS_PER_MINUTE = 60;

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}
bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// Reads digits into *value; false when there are none or too many to be a sensible time field.
bool read_number(const char** p, uint32_t* value)
{
    constexpr int MAX_DIGITS = 4;
    int digits = 0;
    uint32_t v = 0;
    while (is_digit(**p)) {
        if (++digits > MAX_DIGITS) {
            return false;
        }
        v = v * 10 + static_cast<uint32_t>(**p - '0');
        ++*p;
    }
    *value = v;
    return digits > 0;
}

void split_frames(uint32_t frames, uint32_t* minutes, uint32_t* seconds, uint32_t* rest)
{
    *minutes = frames / FRAMES_PER_MINUTE;
    *seconds = (frames % FRAMES_PER_MINUTE) / FRAMES_PER_SECOND;
    *rest = frames % FRAMES_PER_SECOND;
}

uint32_t frames_of_msf(uint32_t minutes, uint32_t seconds, uint32_t frames)
{
    return minutes * FRAMES_PER_MINUTE + seconds * FRAMES_PER_SECOND + frames;
}

}  // namespace

bool parse_track_lengths(const char* text, Disc* disc)
{
    Disc parsed{};
    parsed.start[0] = LEAD_IN_FRAMES;
    const char* p = text;
    for (;;) {
        while (is_blank(*p)) {
            ++p;
        }
        uint32_t minutes = 0;
        uint32_t seconds = 0;
        if (!read_number(&p, &minutes) || *p != ':') {
            return false;
        }
        ++p;
        const char* seconds_at = p;
        if (!read_number(&p, &seconds) || p - seconds_at != 2 || seconds >= SECONDS_PER_MINUTE) {
            return false;
        }
        if (minutes > MAX_TRACK_MINUTES || (minutes == 0 && seconds == 0)) {
            return false;
        }
        if (parsed.track_count == MAX_TRACKS) {
            return false;
        }
        parsed.start[parsed.track_count + 1] = parsed.start[parsed.track_count] + frames_of_msf(minutes, seconds, 0);
        ++parsed.track_count;
        while (is_blank(*p)) {
            ++p;
        }
        if (*p == '\0') {
            break;
        }
        if (*p != ',') {
            return false;
        }
        ++p;
    }
    *disc = parsed;
    return true;
}

void make_demo_disc(Disc* disc)
{
    // A constant known to parse, so the result needs no check.
    static_cast<void>(parse_track_lengths(DEMO_TRACK_LENGTHS, disc));
}

bool same_layout(const Disc& a, const Disc& b)
{
    if (a.track_count != b.track_count) {
        return false;
    }
    for (int i = 0; i <= a.track_count; ++i) {
        if (a.start[i] != b.start[i]) {
            return false;
        }
    }
    return true;
}

uint32_t disc_start(const Disc& disc)
{
    return disc.start[0];
}

uint32_t disc_end(const Disc& disc)
{
    return disc.start[disc.track_count];
}

uint32_t track_length(const Disc& disc, int track)
{
    return disc.start[track] - disc.start[track - 1];
}

int track_at(const Disc& disc, uint32_t frame)
{
    for (int track = 1; track < disc.track_count; ++track) {
        if (frame < disc.start[track]) {
            return track;
        }
    }
    return disc.track_count;
}

bool frame_of_value(const Disc& disc, TimeUnit unit, uint32_t value, uint32_t* frame)
{
    switch (unit) {
    case TimeUnit::milliseconds:
        *frame = static_cast<uint32_t>(static_cast<uint64_t>(value) * FRAMES_PER_SECOND / MILLISECONDS_PER_SECOND);
        return true;
    case TimeUnit::msf:
        *frame = frames_of_msf(value & 0xff, (value >> 8) & 0xff, (value >> 16) & 0xff);
        return true;
    case TimeUnit::tmsf: {
        const int track = static_cast<int>(value & 0xff);
        if (track < 1 || track > disc.track_count) {
            return false;
        }
        *frame = disc.start[track - 1] + frames_of_msf((value >> 8) & 0xff, (value >> 16) & 0xff, (value >> 24) & 0xff);
        return true;
    }
    }
    return false;
}

uint32_t position_value(const Disc& disc, TimeUnit unit, uint32_t frame)
{
    uint32_t minutes = 0;
    uint32_t seconds = 0;
    uint32_t frames = 0;
    switch (unit) {
    case TimeUnit::milliseconds:
        return static_cast<uint32_t>(static_cast<uint64_t>(frame) * MILLISECONDS_PER_SECOND / FRAMES_PER_SECOND);
    case TimeUnit::msf:
        split_frames(frame, &minutes, &seconds, &frames);
        return make_msf(minutes, seconds, frames);
    case TimeUnit::tmsf: {
        const int track = track_at(disc, frame);
        split_frames(frame - disc.start[track - 1], &minutes, &seconds, &frames);
        return make_tmsf(static_cast<uint32_t>(track), minutes, seconds, frames);
    }
    }
    return 0;
}

uint32_t duration_value(TimeUnit unit, uint32_t frames)
{
    if (unit == TimeUnit::milliseconds) {
        return static_cast<uint32_t>(static_cast<uint64_t>(frames) * MILLISECONDS_PER_SECOND / FRAMES_PER_SECOND);
    }
    uint32_t minutes = 0;
    uint32_t seconds = 0;
    uint32_t rest = 0;
    split_frames(frames, &minutes, &seconds, &rest);
    return make_msf(minutes, seconds, rest);
}
