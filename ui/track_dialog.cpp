#include "ui/track_dialog.h"

#include "app/shell.h"
#include "player/cd_device.h"
#include "player/status_text.h"
#include "res/resource.h"
#include "ui/dialog.h"

namespace {

void on_init(HWND dialog)
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

void on_ok(HWND dialog)
{
    const LRESULT index = SendDlgItemMessageA(dialog, IDC_TRACKS, CB_GETCURSEL, 0, 0);
    const LRESULT track = index + 1;
    if (track >= 1 && track <= track_count()) {
        play_track(main_window.load(), static_cast<int>(track));
    }
    EndDialog(dialog, IDOK);
}

constexpr DialogHandlers TRACK_DIALOG = {on_init, on_ok};

}  // namespace

INT_PTR show_track_dialog(HWND owner)
{
    return show_dialog(owner, IDD_SELECT_TRACK, TRACK_DIALOG);
}
