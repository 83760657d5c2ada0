#include "ui/track_dialog.h"

#include "common/text.h"
#include "res/resource.h"
#include "ui/dialog.h"

namespace {

// Longer lines are cut: a track's line is a dozen bytes.
constexpr size_t TRACK_LINE_SIZE = 64;

void on_init(HWND dialog, void* context)
{
    const TrackChoice* choice = static_cast<const TrackChoice*>(context);
    // Every line starts with a space and a two-digit track number, so the box's sorting keeps
    // the disc's order and entry i is track i + 1.
    const char* piece = choice->tracks;
    while (*piece != '\0') {
        const char* end = piece;
        while (*end != '\0' && *end != '\n') {
            ++end;
        }
        if (end != piece) {
            char line[TRACK_LINE_SIZE];
            const size_t length = static_cast<size_t>(end - piece);
            copy_bounded(line, length + 1 < sizeof line ? length + 1 : sizeof line, piece);
            SendDlgItemMessageA(dialog, IDC_TRACKS, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line));
        }
        piece = *end == '\n' ? end + 1 : end;
    }
    SendDlgItemMessageA(dialog, IDC_TRACKS, CB_SETCURSEL, static_cast<WPARAM>(choice->current - 1), 0);
}

bool on_ok(HWND dialog, void* context)
{
    // Entry i is track i + 1; no selection (CB_ERR) is no track.
    const LRESULT index = SendDlgItemMessageA(dialog, IDC_TRACKS, CB_GETCURSEL, 0, 0);
    const LRESULT count = SendDlgItemMessageA(dialog, IDC_TRACKS, CB_GETCOUNT, 0, 0);
    static_cast<TrackChoice*>(context)->track = index >= 0 && index < count ? static_cast<int>(index + 1) : 0;
    return true;
}

constexpr DialogHandlers TRACK_DIALOG = {on_init, on_ok};

}  // namespace

INT_PTR show_track_dialog(HINSTANCE module, HWND owner, TrackChoice* choice)
{
    choice->track = 0;
    return show_dialog(module, owner, IDD_SELECT_TRACK, TRACK_DIALOG, choice);
}
