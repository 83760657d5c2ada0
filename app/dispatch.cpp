#include "app/dispatch.h"

#include "common/commands.h"
#include "app/main_window.h"
#include "player/cd_device.h"
#include "player/status_text.h"
#include "res/resource.h"
#include "server/replies.h"
#include "ui/settings_dialog.h"
#include "ui/track_dialog.h"
#include "ui/tray.h"

namespace {

void show_position(HWND window)
{
    format_position(status_text);
    tray_update(window, status_text, load_icon(IDI_PLAYING));
}

void show_word(HWND window, const char* word)
{
    set_status_text(word);
    tray_update(window, status_text, load_icon(IDI_IDLE));
}

// After a play that the drive never took (no disc, a drive that refused it for the whole retry
// time, a track the disc does not have): what the drive does, not a position of nothing.
int compose_after_failed_play()
{
    return status_text_brief() == MCI_MODE_PLAY ? IDI_PLAYING : IDI_IDLE;
}

}  // namespace

int toggle_pause(HWND window, DWORD mode)
{
    if (mode == MCI_MODE_PLAY) {
        pause_playback(window);
        set_status_text(STATUS_PAUSE);
        return IDI_IDLE;
    }
    if (mode == MCI_MODE_PAUSE) {
        resume_playback(window);
    } else if (!play_track(window, 1)) {
        return compose_after_failed_play();
    }
    format_position(status_text);
    return IDI_PLAYING;
}

void on_command(HWND window, WPARAM wparam, LPARAM lparam)
{
    const HWND owner = main_window.load();
    switch (LOWORD(wparam)) {
    case CMD_SETTINGS:
        show_settings_dialog(owner);
        break;
    case CMD_EXIT:
        DestroyWindow(owner);
        break;
    case CMD_PLAY: {
        const int track = static_cast<int>(lparam);
        if (play_track(owner, track == 0 ? 1 : track)) {
            show_position(window);
        } else {
            tray_update(window, status_text, load_icon(compose_after_failed_play()));
        }
        send_status();
        break;
    }
    case CMD_STOP:
        stop_playback(owner);
        set_remembered_mode(MCI_MODE_STOP);
        show_word(window, STATUS_STOP);
        send_status();
        break;
    case CMD_PAUSE:
    case CMD_RESUME: {
        const int icon = toggle_pause(owner, query_mode());
        tray_update(window, status_text, load_icon(icon));
        send_status();
        break;
    }
    case CMD_NEXT:
        next_track(owner);
        show_position(window);
        send_status();
        break;
    case CMD_PREVIOUS:
        previous_track(owner);
        show_position(window);
        send_status();
        break;
    case CMD_EJECT:
        open_door(owner);
        show_word(window, STATUS_OPEN);
        send_status();
        set_remembered_mode(MCI_MODE_STOP);
        break;
    case CMD_CLOSE_TRAY:
        close_door(owner);
        show_word(window, STATUS_PAUSE);
        send_status();
        break;
    case CMD_STATUS:
        status_text_brief();
        send_status();
        break;
    case CMD_SELECT_TRACK:
        show_track_dialog(owner);
        break;
    case CMD_TRACK_LIST:
        send_track_list();
        break;
    default:
        break;
    }
}

void on_refresh_timer(HWND window)
{
    const DWORD mode = status_text_timer();
    tray_update(window, status_text, load_icon(mode == MCI_MODE_PLAY ? IDI_PLAYING : IDI_IDLE));
}

void on_mci_notify(WPARAM wparam)
{
    if (wparam == MCI_NOTIFY_SUCCESSFUL) {
        set_remembered_mode(MCI_MODE_STOP);
    }
}
