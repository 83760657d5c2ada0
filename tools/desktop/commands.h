#pragma once
// The desktop's commands: one line in, one reply built in `reply` (desktop.h). The table in
// commands.cpp names each command, what it takes and which function runs it; the functions live
// in one file per group: commands_tray.cpp, commands_windows.cpp, commands_controls.cpp,
// commands_menu.cpp, commands_input.cpp, commands_watch.cpp.
#include <windows.h>

// What a command takes before its own words: nothing, a window, a window and one of its controls
// ("-" for the window itself), or a window and a control that is not the window itself.
enum class Takes { nothing, window, control, child };

// A command's arguments: the window and control it names (run_command has checked them, as the
// table says), the words that follow, and the error reason for words that do not fit.
struct Args {
    HWND window;
    HWND control;
    const char* rest;
    const char* usage;
};

// Runs one command line on the window thread; the reply is in `reply` afterwards.
void run_command(const char* line);

// The tray: commands_tray.cpp.
void cmd_tray(Args& args);
void cmd_events(Args& args);
void cmd_click(Args& args);
void cmd_taskbar_created(Args& args);
void cmd_forget_icons(Args& args);
void cmd_refuse_adds(Args& args);

// Top-level windows and processes: commands_windows.cpp.
void cmd_find(Args& args);
void cmd_find_visible(Args& args);
void cmd_info(Args& args);
void cmd_window_rect(Args& args);
void cmd_pid(Args& args);
void cmd_close(Args& args);
void cmd_post(Args& args);
void cmd_send(Args& args);
void cmd_command(Args& args);
void cmd_process(Args& args);
void cmd_hold_mutex(Args& args);

// Controls of dialogs and message boxes: commands_controls.cpp.
void cmd_get_text(Args& args);
void cmd_set_text(Args& args);
void cmd_press(Args& args);
void cmd_combo_items(Args& args);
void cmd_combo_selected(Args& args);
void cmd_combo_select(Args& args);
void cmd_controls(Args& args);
void cmd_control(Args& args);

// The open popup menu: commands_menu.cpp.
void cmd_menu(Args& args);
void cmd_menu_key(Args& args);
void cmd_menu_escape(Args& args);
void cmd_menu_items(Args& args);
void cmd_menu_item_rect(Args& args);
void cmd_menu_input(Args& args);

// Another program's window answering: commands_watch.cpp.
void cmd_watch(Args& args);
void cmd_watch_slow(Args& args);
void cmd_watch_end(Args& args);

// The mouse, the pointer and the keyboard: commands_input.cpp.
void cmd_mouse_click(Args& args);
void cmd_cursor(Args& args);
void cmd_type(Args& args);
void cmd_key(Args& args);
