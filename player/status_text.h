#pragma once
// The status text: the latest status, shown as the tray tooltip and sent to the network client.
// Main thread only.
#include <windows.h>

#include "player/texts.h"

extern char status_text[STATUS_TEXT_SIZE];

void set_status_text(const char* text);

// The position text of the current position, e.g. 3(1:7), into out (STATUS_TEXT_SIZE bytes).
void format_position(char* out);

// Two-way rule: playing gives the position, door open "open", anything else "pause".
// Stores the text and returns the mode it came from.
DWORD status_text_brief();

// Three-way rule, for the refresh timer: like the two-way rule, but a stopped player is "stop".
DWORD status_text_timer();

// One line per track, " 01. (4:05)\n", into out (TRACK_LIST_SIZE bytes); a list that would not
// fit ends after its last whole line.
void build_track_list(char* out);
