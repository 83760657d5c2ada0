#include "tools/desktop/commands.h"

#include <cstring>

#include "tools/desktop/desktop.h"

namespace {

// The desktop's own: `ping` answers, `quit` answers before the reader ends it (main.cpp).
void cmd_ping(Args&)
{
    reply_add("ok");
}

void cmd_quit(Args&)
{
    reply_add("ok");
}

struct CommandEntry {
    const char* name;
    Takes takes;
    const char* usage;  // the error reason when the arguments do not fit
    void (*run)(Args& args);
};

constexpr char NO_WINDOW[] = "no such window";
constexpr char NO_CONTROL[] = "no such window or control";
constexpr char FIND_USAGE[] = "usage: find <class|-> [<title>|-]";

constexpr CommandEntry COMMANDS[] = {
    {"ping", Takes::nothing, nullptr, cmd_ping},
    {"tray", Takes::nothing, nullptr, cmd_tray},
    {"events", Takes::nothing, nullptr, cmd_events},
    {"click", Takes::nothing, "usage: click left|right|move|left-up|right-up|left-double|right-double [x y]",
        cmd_click},
    {"taskbar-created", Takes::nothing, nullptr, cmd_taskbar_created},
    {"forget-icons", Takes::nothing, nullptr, cmd_forget_icons},
    {"refuse-adds", Takes::nothing, "usage: refuse-adds <count>", cmd_refuse_adds},
    {"find", Takes::nothing, FIND_USAGE, cmd_find},
    {"find-visible", Takes::nothing, FIND_USAGE, cmd_find_visible},
    {"menu", Takes::nothing, nullptr, cmd_menu},
    {"menu-key", Takes::nothing, "usage: menu-key <char>", cmd_menu_key},
    {"menu-escape", Takes::nothing, nullptr, cmd_menu_escape},
    {"menu-items", Takes::nothing, nullptr, cmd_menu_items},
    {"menu-item-rect", Takes::nothing, "usage: menu-item-rect <index>", cmd_menu_item_rect},
    {"menu-input", Takes::nothing, nullptr, cmd_menu_input},
    {"get-text", Takes::control, NO_CONTROL, cmd_get_text},
    {"set-text", Takes::control, NO_CONTROL, cmd_set_text},
    {"press", Takes::control, NO_CONTROL, cmd_press},
    {"combo-items", Takes::control, NO_CONTROL, cmd_combo_items},
    {"combo-selected", Takes::control, NO_CONTROL, cmd_combo_selected},
    {"combo-select", Takes::control, "usage: combo-select <hwnd> <id> <index>", cmd_combo_select},
    {"controls", Takes::window, NO_WINDOW, cmd_controls},
    {"info", Takes::window, NO_WINDOW, cmd_info},
    {"window-rect", Takes::window, NO_WINDOW, cmd_window_rect},
    {"control", Takes::child, "usage: control <hwnd> <id> (an existing control)", cmd_control},
    {"mouse-click", Takes::nothing, "usage: mouse-click x y", cmd_mouse_click},
    {"pid", Takes::window, NO_WINDOW, cmd_pid},
    {"close", Takes::window, NO_WINDOW, cmd_close},
    {"post", Takes::window, "usage: post <hwnd> <msg> <wparam> <lparam>", cmd_post},
    {"send", Takes::window, "usage: send <hwnd> <msg> <wparam> <lparam>", cmd_send},
    {"command", Takes::window, "usage: command <hwnd> <id> [<lparam>]", cmd_command},
    {"cursor", Takes::nothing, "usage: cursor [x y]", cmd_cursor},
    {"type", Takes::nothing, "usage: type <text>", cmd_type},
    {"key", Takes::nothing, "usage: key [ctrl+|shift+|alt+]<name|letter|digit>", cmd_key},
    {"watch", Takes::window, "usage: watch <hwnd> [<slow_ms>]", cmd_watch},
    {"watch-slow", Takes::nothing, nullptr, cmd_watch_slow},
    {"watch-end", Takes::nothing, nullptr, cmd_watch_end},
    {"process", Takes::nothing, "usage: process <pid>", cmd_process},
    {"hold-mutex", Takes::nothing, "usage: hold-mutex <name>", cmd_hold_mutex},
    {"quit", Takes::nothing, nullptr, cmd_quit},
};

// The window and control a command names, as its entry says it takes them.
bool take_target(const CommandEntry& command, Args* args)
{
    if (command.takes == Takes::nothing) {
        return true;
    }
    if (!next_window(&args->rest, &args->window)) {
        return false;
    }
    if (command.takes == Takes::window) {
        return true;
    }
    return next_control(&args->rest, args->window, &args->control) &&
        (command.takes == Takes::control || args->control != args->window);
}

}  // namespace

void run_command(const char* line)
{
    reply_clear();
    char name[32];
    Args args{nullptr, nullptr, line, nullptr};
    if (!next_word(&args.rest, name, sizeof name)) {
        reply_error("empty line");
        return;
    }
    for (const CommandEntry& command : COMMANDS) {
        if (strcmp(name, command.name) == 0) {
            args.usage = command.usage;
            if (!take_target(command, &args)) {
                reply_error(command.usage);
                return;
            }
            command.run(args);
            return;
        }
    }
    reply_error("unknown command");
}
