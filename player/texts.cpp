#include "player/texts.h"

#include <cstdio>
#include <cstring>

void format_position_text(uint32_t tmsf, char* out, size_t size)
{
    std::snprintf(out, size, "%d(%d:%d)", static_cast<int>(tmsf & 0xFF), static_cast<int>((tmsf >> 8) & 0xFF),
        static_cast<int>((tmsf >> 16) & 0xFF));
}

void format_track_line(int track, uint32_t msf_length, char* out, size_t size)
{
    std::snprintf(out, size, " %02d. (%d:%02d)\n", track, static_cast<int>(msf_length & 0xFF),
        static_cast<int>((msf_length >> 8) & 0xFF));
}

bool append_whole(char* out, size_t size, const char* piece)
{
    const size_t used = std::strlen(out);
    const size_t extra = std::strlen(piece);
    if (used + extra >= size) {
        return false;
    }
    std::memcpy(out + used, piece, extra + 1);
    return true;
}
