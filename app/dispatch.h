#pragma once
// Carries out the player commands, the refresh tick and the device's completion notice, on the
// main thread, one at a time and in queue order.
#include <windows.h>

#include <cstdint>

// One command, from the tray menu or another program (WM_COMMAND: addressee REPLY_TO_CURRENT) or
// from a network client (WM_CLIENT_COMMAND: the generation of its connection). The tray is
// updated and the reply sent here, in one place, from what the command did.
void on_command(HWND window, unsigned command, int32_t argument, uint16_t addressee);
void on_refresh_timer(HWND window);
void on_mci_notify(WPARAM wparam);

// A command that acts on the drive has come: a play still being tried ends now, and its command
// gets the tray and the reply it owes (what the drive does, as after a play the drive never
// took). Nothing to do when no play is being tried.
void give_way(HWND window);

// Pauses while playing, resumes while paused, plays track 1 otherwise, taking the given mode as
// the current one. Leaves the status text set; returns the icon resource to show, or 0 while the
// drive is not ready for the play: the tray is then updated once the play has been tried.
int toggle_pause(HWND window, DWORD mode);

// A port the user chose: serve on it and save it, saying so when the settings file cannot keep
// it. False, with nothing changed, when the port cannot be bound. owner: the window of the
// message (the settings dialog).
bool change_port(HWND owner, int new_port);
