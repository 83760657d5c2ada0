#include "player/status_text.h"

#include "common/text.h"
#include "player/cd_device.h"

char status_text[STATUS_TEXT_SIZE] = "";

namespace {

DWORD compose_status(bool stop_reads_stop)
{
    const DWORD mode = query_mode();
    if (mode == MCI_MODE_PLAY) {
        format_position(status_text);
    } else if (mode == MCI_MODE_OPEN) {
        set_status_text(STATUS_OPEN);
    } else if (mode == MCI_MODE_STOP && stop_reads_stop) {
        set_status_text(STATUS_STOP);
    } else {
        set_status_text(STATUS_PAUSE);
    }
    return mode;
}

// Appends one track's line to the list in context (TRACK_LIST_SIZE bytes); a line that would not
// fit ends the list after its last whole line.
bool append_track_line(void* context, int track, DWORD msf_length)
{
    char line[64];
    format_track_line(track, msf_length, line, sizeof line);
    return append_whole(static_cast<char*>(context), TRACK_LIST_SIZE, line);
}

}  // namespace

void set_status_text(const char* text)
{
    copy_bounded(status_text, sizeof status_text, text);
}

void format_position(char* out)
{
    format_position_text(current_position(), out, STATUS_TEXT_SIZE);
}

DWORD status_text_brief()
{
    return compose_status(false);
}

DWORD status_text_timer()
{
    return compose_status(true);
}

void build_track_list(char* out)
{
    out[0] = '\0';
    read_track_lengths(append_track_line, out);
}
