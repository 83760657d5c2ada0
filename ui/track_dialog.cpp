#include "ui/track_dialog.h"

#include "player/cd_device.h"
#include "player/status_text.h"
#include "res/resource.h"
#include "ui/dialog.h"

namespace {

void on_init(HWND dialog, void*)
{
    char list[TRACK_LIST_SIZE];
    build_track_list(list);
    // Every line starts with a space and a two-digit track number, so the box's sorting keeps
    // the disc's order and entry i is track i + 1.
    char* piece = list;
    while (*piece != '\0') {
        char* end = piece;
        while (*end != '\0' && *end != '\n') {
            ++end;
        }
        const bool last = *end == '\0';
        *end = '\0';
        if (end != piece) {
            SendDlgItemMessageA(dialog, IDC_TRACKS, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(piece));
        }
        if (last) {
            break;
        }
        piece = end + 1;
    }
    SendDlgItemMessageA(dialog, IDC_TRACKS, CB_SETCURSEL, static_cast<WPARAM>(current_track() - 1), 0);
}

bool on_ok(HWND dialog, void* context)
{
    const LRESULT index = SendDlgItemMessageA(dialog, IDC_TRACKS, CB_GETCURSEL, 0, 0);
    const LRESULT track = index + 1;
    static_cast<TrackChoice*>(context)->track = track >= 1 && track <= track_count() ? static_cast<int>(track) : 0;
    return true;
}

constexpr DialogHandlers TRACK_DIALOG = {on_init, on_ok};

}  // namespace

INT_PTR show_track_dialog(HINSTANCE module, HWND owner, TrackChoice* choice)
{
    choice->track = 0;
    return show_dialog(module, owner, IDD_SELECT_TRACK, TRACK_DIALOG, choice);
}
