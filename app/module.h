#pragma once
// The program's module, which holds its icons and dialog templates, and the picture each player
// mode shows. Main thread only.
#include <windows.h>

// Kept by run_program before the main window exists: its creation already loads icons.
extern HINSTANCE instance;

// The tray picture of a player mode: IDI_PLAYING while playing, IDI_IDLE otherwise.
int icon_for_mode(DWORD mode);
