#pragma once
// How another program reaches the main window: its class and title, and every private message,
// next to each other. Platform-free: no Windows header here (the main window checks that
// MESSAGE_APP_FIRST is the system's WM_APP).

// The hidden main window's class and title, by which another program finds it.
constexpr char MAIN_WINDOW_CLASS[] = "QEL";
constexpr char MAIN_WINDOW_TITLE[] = "qel";

// The shell's notifications for the tray icon (user message base 1024 + 1000), and the request
// to show the popup menu once that notification has returned: fixed numbers.
constexpr unsigned WM_TRAY_NOTIFY = 2024;
constexpr unsigned WM_TRAY_MENU = 2025;

// The first message number an application may give its own meaning (WM_APP).
constexpr unsigned MESSAGE_APP_FIRST = 0x8000;

// The messages of the connection worker. Any process may post any of them: each carries what
// lets the main window tell one of the worker's own from a stray one, which changes nothing.
//
// A connection has ended: wParam is the connection, lParam its token (an unguessable number drawn
// for each connection). It follows every command the connection brought, and the worker waits
// until the main window has let go of it.
constexpr unsigned WM_CONNECTION_ENDED = MESSAGE_APP_FIRST + 0;
// Behind every few commands: wParam is the mark's number, lParam the epoch (an unguessable number
// drawn for the window). When the main window takes it, all commands before it have been carried
// out.
constexpr unsigned WM_COMMANDS_TAKEN = MESSAGE_APP_FIRST + 1;
// A command from a network client: the command identifier in the low 16 bits of wParam, the
// generation of the connection it came from in the high 16 bits; lParam is the argument (as
// WM_COMMAND's). Its reply goes to that connection only, and nowhere once it has ended.
constexpr unsigned WM_CLIENT_COMMAND = MESSAGE_APP_FIRST + 2;
