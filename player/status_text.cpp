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
    set_time_format(MCI_FORMAT_MSF);
    out[0] = '\0';
    const int count = track_count();
    for (int track = 1; track <= count; ++track) {
        char line[64];
        format_track_line(track, track_length(track), line, sizeof line);
        if (!append_whole(out, TRACK_LIST_SIZE, line)) {
            break;
        }
    }
    set_time_format(MCI_FORMAT_TMSF);
}
