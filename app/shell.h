#pragma once
// The seam between the application shell and the desktop interface. The shell creates the tray
// icon, routes its messages and opens the dialogs; they in turn need these few things of the
// shell. This is the one header of app/ that ui/ includes, and the build lets it include no other.
#include <windows.h>

#include <atomic>

// The hidden main window. Recorded as soon as its creation begins; main thread only.
extern std::atomic<HWND> main_window;
// The module, for icons and dialog templates.
extern HINSTANCE instance;

// The control server's port (main thread only), and saving a new one in the settings file.
extern int port;
void write_port(int new_port);

// Pauses while playing, resumes while paused, plays track 1 otherwise, taking the given mode as
// the current one. Leaves the status text set; returns the icon resource to show.
int toggle_pause(HWND window, DWORD mode);
