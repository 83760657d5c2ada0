#pragma once
// Command identifiers, the refresh timer and the default port: the vocabulary every part of the
// program shares. A command reaches the main window with one of these in the low 16 bits of its
// first parameter and CMD_PLAY's track (0 = track 1) as its second: as WM_COMMAND from the tray
// menu (or another program), as WM_CLIENT_COMMAND (common/messages.h) from a network client.
// Platform-free: no Windows header here.

constexpr unsigned CMD_SETTINGS = 40001;
constexpr unsigned CMD_EXIT = 40002;
constexpr unsigned CMD_PLAY = 40003;
constexpr unsigned CMD_STOP = 40004;
constexpr unsigned CMD_PAUSE = 40005;
constexpr unsigned CMD_RESUME = 40006;
constexpr unsigned CMD_NEXT = 40007;
constexpr unsigned CMD_PREVIOUS = 40008;
constexpr unsigned CMD_EJECT = 40009;
constexpr unsigned CMD_CLOSE_TRAY = 40010;
constexpr unsigned CMD_STATUS = 40011;
constexpr unsigned CMD_SELECT_TRACK = 40012;
constexpr unsigned CMD_TRACK_LIST = 40013;

constexpr unsigned CMD_FIRST = CMD_SETTINGS;
constexpr unsigned CMD_LAST = CMD_TRACK_LIST;

// Commands whose only effect is their reply: with nobody to hear it, they need not be carried out.
constexpr bool is_reply_only(unsigned command)
{
    return command == CMD_STATUS || command == CMD_TRACK_LIST;
}

// Status refresh: timer 1 of the main window.
constexpr unsigned TIMER_REFRESH = 1;
constexpr unsigned REFRESH_PERIOD_MS = 10000;
// The connection worker goes on from timer 2 of the main window once input and paint are handled.
constexpr unsigned TIMER_FLOW = 2;
// A play the drive is not ready for is tried again from timer 3; the commands that waited for it
// are carried out from timer 4 once input and paint are handled.
constexpr unsigned TIMER_PLAY_RETRY = 3;
constexpr unsigned TIMER_WAITING = 4;

// The control server's port when the settings file names none.
constexpr int DEFAULT_PORT = 5963;
