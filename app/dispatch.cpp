#include "app/dispatch.h"

#include "app/module.h"
#include "app/settings.h"
#include "app/tray_icon.h"
#include "app/waiting_commands.h"
#include "common/commands.h"
#include "common/timer.h"
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

// The tray and the reply after what a command did.
void settle(HWND window, Outcome outcome, uint16_t addressee)
{
    if (outcome.icon != 0) {
        show_in_tray(window, outcome.icon);
    }
    if (outcome.reply == Reply::status) {
        send_status(addressee);
    } else if (outcome.reply == Reply::track_list) {
        send_track_list(addressee);
    }
}

// The play being tried (docs/design.md, "A play being tried"): what its command still owes once
// the drive has answered, and whether the play began inside the command being carried out (a
// command whose dialog runs carries out others meanwhile: the play is the innermost one's).
struct PlayDues {
    bool show;
    Reply reply;
    uint16_t addressee;
};
PlayDues play_dues = {};
bool play_began = false;

void CALLBACK retry_play_tick(HWND window, UINT, UINT_PTR timer, DWORD);

int shown_after_play(PlayAttempt attempt)
{
    return attempt == PlayAttempt::started ? show_position() : compose_after_failed_play();
}

// The play being tried is over: its command gets the tray and the reply it owes.
void settle_play(HWND window, PlayAttempt attempt)
{
    KillTimer(window, TIMER_PLAY_RETRY);
    const int icon = shown_after_play(attempt);
    settle(window, {play_dues.show ? icon : 0, play_dues.reply}, play_dues.addressee);
}

// Plays a track and returns the icon to show, or 0 while the drive is not ready for the play: it
// is then tried again from the message loop, and the tray (when show) and the reply that its
// command owes follow its end.
int play(HWND window, int track, bool show)
{
    // A track chosen in the dialog while a client's play is still tried: that play gives way.
    give_way(window);
    const PlayAttempt attempt = begin_play(window, track);
    if (attempt != PlayAttempt::trying) {
        return shown_after_play(attempt);
    }
    // Only the newest play is tried: one that a drive command already waits behind (it was sent
    // before that command, which is carried out next) gives way at once. Without its timer the
    // play would never be settled: then too it ends now, with what the drive does.
    if (drive_command_waits() || !start_timer(window, TIMER_PLAY_RETRY, PLAY_RETRY_PAUSE_MS, retry_play_tick)) {
        give_up_play();
        return compose_after_failed_play();
    }
    play_dues = {show, Reply::none, REPLY_TO_CURRENT};
    play_began = true;
    return 0;
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
        play(window, choice.track, false);
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
        return {play(window, argument == 0 ? 1 : argument, true), Reply::status};
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

// Every PLAY_RETRY_PAUSE_MS while a play is tried; once the drive has answered, its command is
// settled and the commands that waited meanwhile are carried out.
void CALLBACK retry_play_tick(HWND window, UINT, UINT_PTR timer, DWORD)
{
    if (!play_in_progress()) {
        KillTimer(window, timer);
        return;
    }
    const PlayAttempt attempt = retry_play();
    if (attempt == PlayAttempt::trying) {
        return;
    }
    settle_play(window, attempt);
    release_waiting(window);
}

}  // namespace

void give_way(HWND window)
{
    if (!play_in_progress()) {
        return;
    }
    give_up_play();
    settle_play(window, PlayAttempt::failed);
    // What waited behind the play goes on, the command that made it give way after it.
    release_waiting_soon(window);
}

int toggle_pause(HWND window, DWORD mode)
{
    if (mode == MCI_MODE_PLAY) {
        pause_playback(window);
        return show_word(STATUS_PAUSE);
    }
    if (mode != MCI_MODE_PAUSE) {
        return play(window, 1, true);
    }
    resume_playback(window);
    return show_position();
}

void on_command(HWND window, unsigned command, int32_t argument, uint16_t addressee)
{
    // A status or a track list that nobody would hear (its client has gone, or stopped reading)
    // is not worth a trip to the drive.
    if (is_reply_only(command) && !reply_heard(addressee)) {
        return;
    }
    const bool outer_play_began = play_began;
    play_began = false;
    const Outcome outcome = carry_out(window, command, argument);
    const bool waits_for_play = play_began && play_in_progress();
    play_began = outer_play_began;
    if (waits_for_play) {
        // Its reply follows the play's end.
        play_dues.reply = outcome.reply;
        play_dues.addressee = addressee;
        return;
    }
    settle(window, outcome, addressee);
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
