#pragma once
// The status words, the position text and the track list lines, composed from raw device values.
// Platform-free: no Windows header here.
#include <cstddef>
#include <cstdint>

constexpr size_t STATUS_TEXT_SIZE = 1000;
constexpr size_t TRACK_LIST_SIZE = 1000;

constexpr const char STATUS_STOP[] = "stop";
constexpr const char STATUS_PAUSE[] = "pause";
constexpr const char STATUS_OPEN[] = "open";

// "%d(%d:%d)" from a TMSF value: track (lowest byte), minutes, seconds; frames dropped.
void format_position_text(uint32_t tmsf, char* out, size_t size);

// " %02d. (%d:%02d)\n" from a track number and an MSF length (minutes lowest byte, then seconds).
void format_track_line(int track, uint32_t msf_length, char* out, size_t size);

// Appends piece to the NUL-terminated text in out (size bytes) only when all of it fits with the
// terminator; returns false and leaves out unchanged otherwise, so a list never ends in a cut line.
bool append_whole(char* out, size_t size, const char* piece);
