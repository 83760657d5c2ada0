#include "app/dispatch.h"

#include "app/module.h"
#include "app/settings.h"
#include "app/tray_icon.h"
#include "common/commands.h"
#include "player/cd_device.h"
#include "player/status_text.h"
#include "res/resource.h"
#include "res/texts.h"
#include "server/control_server.h"
#include "server/line_protocol.h"
#include "server/replies.h"
#include "ui/settings_dialog.h"
#include "ui/track_dialog.h"
#include "ui/wide_text.h"

namespace {

enum class Reply { none, status, track_list };

// What a command did: the picture to show with the status text (0: the tray stays as it is), and
// the reply it gets.
struct Outcome {
    int icon;
    Reply reply;
};

constexpr Outcome NOTHING_TO_SHOW = {0, Reply::none};

static_assert(TRACK_LIST_SIZE + 1 <= REPLY_BUFFER_SIZE && STATUS_TEXT_SIZE + 1 <= REPLY_BUFFER_SIZE,
    "every reply text goes out whole with its \"!\"");

// After a play that the drive never took (no disc, a drive that refused it for the whole retry
// time, a track the disc does not have): what the drive does, not a position of nothing.
int compose_after_failed_play()
{
    return icon_for_mode(status_text_brief());
}

// The status reply: the status text and "!".
void send_status(uint16_t addressee)
{
    send_reply(addressee, status_text);
}

// The track list reply: one line per track while the disc plays (nothing otherwise), then "!".
void send_track_list(uint16_t addressee)
{
    char list[TRACK_LIST_SIZE] = "";
    if (query_mode() == MCI_MODE_PLAY) {
        build_track_list(list);
    }
    send_reply(addressee, list);
}

int show_position()
{
    format_position(status_text);
    return IDI_PLAYING;
}

int show_word(const char* word)
{
    set_status_text(word);
    return IDI_IDLE;
}

void open_settings(HWND window)
{
    // A new port is put to use while the dialog is open, so that one that is taken keeps it open.
    SettingsChoice choice = {port, change_port};
    show_settings_dialog(instance, window, &choice);
}

// The dialog offers the disc's tracks with the current one selected; the track chosen goes
// straight to the drive, and the tooltip shows it at the next tick.
void choose_track(HWND window)
{
    char tracks[TRACK_LIST_SIZE];
    build_track_list(tracks);
    TrackChoice choice = {tracks, current_track(), 0};
    if (show_track_dialog(instance, window, &choice) == IDOK && choice.track != 0) {
        play_track(window, choice.track);
    }
}

// The command table: each case acts on the device and sets the status text.
Outcome carry_out(HWND window, unsigned command, int32_t argument)
{
    switch (command) {
    case CMD_SETTINGS:
        open_settings(window);
        return NOTHING_TO_SHOW;
    case CMD_EXIT:
        DestroyWindow(window);
        return NOTHING_TO_SHOW;
    case CMD_PLAY:
        return {play_track(window, argument == 0 ? 1 : argument) ? show_position() : compose_after_failed_play(),
            Reply::status};
    case CMD_STOP:
        stop_playback(window);
        set_remembered_mode(MCI_MODE_STOP);
        return {show_word(STATUS_STOP), Reply::status};
    case CMD_PAUSE:
    case CMD_RESUME:
        return {toggle_pause(window, query_mode()), Reply::status};
    case CMD_NEXT:
        next_track(window);
        return {show_position(), Reply::status};
    case CMD_PREVIOUS:
        previous_track(window);
        return {show_position(), Reply::status};
    case CMD_EJECT:
        open_door(window);
        // The reply that follows reads the text, not the mode.
        set_remembered_mode(MCI_MODE_STOP);
        return {show_word(STATUS_OPEN), Reply::status};
    case CMD_CLOSE_TRAY:
        close_door(window);
        return {show_word(STATUS_PAUSE), Reply::status};
    case CMD_STATUS:
        status_text_brief();
        return {0, Reply::status};
    case CMD_SELECT_TRACK:
        choose_track(window);
        return NOTHING_TO_SHOW;
    case CMD_TRACK_LIST:
        return {0, Reply::track_list};
    default:
        return NOTHING_TO_SHOW;
    }
}

}  // namespace

int toggle_pause(HWND window, DWORD mode)
{
    if (mode == MCI_MODE_PLAY) {
        pause_playback(window);
        return show_word(STATUS_PAUSE);
    }
    if (mode == MCI_MODE_PAUSE) {
        resume_playback(window);
    } else if (!play_track(window, 1)) {
        return compose_after_failed_play();
    }
    return show_position();
}

void on_command(HWND window, unsigned command, int32_t argument, uint16_t addressee)
{
    // A status or a track list that nobody would hear (its client has gone, or stopped reading)
    // is not worth a trip to the drive.
    if (is_reply_only(command) && !reply_heard(addressee)) {
        return;
    }
    const Outcome outcome = carry_out(window, command, argument);
    if (outcome.icon != 0) {
        show_in_tray(window, outcome.icon);
    }
    if (outcome.reply == Reply::status) {
        send_status(addressee);
    } else if (outcome.reply == Reply::track_list) {
        send_track_list(addressee);
    }
}

void on_refresh_timer(HWND window)
{
    const DWORD mode = status_text_timer();
    show_in_tray(window, icon_for_mode(mode));
}

void on_mci_notify(WPARAM wparam)
{
    if (wparam == MCI_NOTIFY_SUCCESSFUL) {
        set_remembered_mode(MCI_MODE_STOP);
    }
}

bool change_port(HWND owner, int new_port)
{
    if (!restart_listener(new_port)) {
        return false;
    }
    port = new_port;
    // The program serves on the new port either way; the user learns that the next start will not.
    if (!write_port(port)) {
        show_path_message(owner, TEXT_PORT_NOT_SAVED_FORMAT, TEXT_ERROR_TITLE, ini_path);
    }
    return true;
}
