#pragma once
// Every private message of the main window, next to each other. Platform-free: no Windows header
// here (the main window checks that MESSAGE_APP_FIRST is the system's WM_APP).

// The shell's notifications for the tray icon (user message base 1024 + 1000), and the request
// to show the popup menu once that notification has returned: fixed numbers.
constexpr unsigned WM_TRAY_NOTIFY = 2024;
constexpr unsigned WM_TRAY_MENU = 2025;

// The first message number an application may give its own meaning (WM_APP).
constexpr unsigned MESSAGE_APP_FIRST = 0x8000;

// Posted by the connection worker when a connection has ended: wParam is the connection to let
// go of. It follows every command the connection brought.
constexpr unsigned WM_CONNECTION_ENDED = MESSAGE_APP_FIRST + 0;
// Posted by the worker behind its commands now and then: wParam is the mark's number. When the
// main window takes it, all commands before it have been carried out.
constexpr unsigned WM_COMMANDS_TAKEN = MESSAGE_APP_FIRST + 1;
