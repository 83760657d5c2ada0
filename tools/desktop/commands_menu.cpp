#include "tools/desktop/commands.h"

#include <cstring>

#include "tools/desktop/desktop.h"
#include "tools/desktop/menu_reader.h"
#include "tools/desktop/other_windows.h"

namespace {

// The menu thread's input state: who holds the mouse capture, whether it is in menu mode.
bool menu_thread_input(HWND menu, DWORD* thread, GUITHREADINFO* info)
{
    *thread = GetWindowThreadProcessId(menu, nullptr);
    std::memset(info, 0, sizeof *info);
    info->cbSize = sizeof *info;
    return *thread != 0 && GetGUIThreadInfo(*thread, info);
}

}  // namespace

// A menu's window is shown before its thread's menu loop takes the mouse capture (Wine's
// TrackPopupMenu shows and paints it first). A click outside it in that moment goes to the window
// under the pointer, not to the menu: so the menu is "open" only once its thread is in menu mode.
void cmd_menu(Args&)
{
    HWND menu = open_menu();
    if (menu == nullptr) {
        reply_add("ok closed");
        return;
    }
    DWORD thread = 0;
    GUITHREADINFO info;
    const bool tracked = menu_thread_input(menu, &thread, &info) && (info.flags & GUI_INMENUMODE) != 0;
    reply_add("ok %s 0x%llx", tracked ? "open" : "shown", handle_value(menu));
}

// The menu's tracking loop reads the keyboard messages of its thread's queue, whatever window
// they are addressed to: a message posted to the menu window is what a key press would queue.
void cmd_menu_key(Args& args)
{
    char word[16];
    wchar_t key[4];
    if (!next_word(&args.rest, word, sizeof word)) {
        reply_error(args.usage);
        return;
    }
    utf8_to_utf16(word, key, 4);
    HWND menu = open_menu();
    if (menu == nullptr) {
        reply_error("no menu");
        return;
    }
    PostMessageW(menu, WM_CHAR, key[0], 1);
    reply_add("ok");
}

void cmd_menu_escape(Args&)
{
    HWND menu = open_menu();
    if (menu == nullptr) {
        reply_error("no menu");
        return;
    }
    PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 1);
    reply_add("ok");
}

namespace {

// The open menu's items as its program holds them; false (and the reply an error) when there is
// no menu or it cannot be read.
bool snapshot_open_menu(MenuSnapshot* snapshot)
{
    HWND menu = open_menu();
    if (menu == nullptr) {
        reply_error("no menu");
        return false;
    }
    const char* error = nullptr;
    if (!read_menu(menu, snapshot, &error)) {
        reply_error(error);
        return false;
    }
    return true;
}

}  // namespace

// The labels exactly as the program gave them, '&' marks included, read through the wide
// interface inside its process; a separator (or an item without text) is an empty label.
void cmd_menu_items(Args&)
{
    static MenuSnapshot snapshot;
    if (!snapshot_open_menu(&snapshot)) {
        return;
    }
    const int shown = snapshot.count < MENU_SNAPSHOT_ITEMS ? snapshot.count : MENU_SNAPSHOT_ITEMS;
    reply_add("ok %d", snapshot.count);
    for (int i = 0; i < shown; i++) {
        reply_add("%c", i == 0 ? ' ' : '|');
        reply_add_escaped(snapshot.items[i].label);
    }
}

// Where an item is on the screen, for a real click on it (mouse-click).
void cmd_menu_item_rect(Args& args)
{
    static MenuSnapshot snapshot;
    long long index = 0;
    if (!next_number(&args.rest, &index)) {
        reply_error(args.usage);
        return;
    }
    if (!snapshot_open_menu(&snapshot)) {
        return;
    }
    if (index < 0 || index >= snapshot.count || index >= MENU_SNAPSHOT_ITEMS) {
        reply_error("no such item");
        return;
    }
    const MenuSnapshotItem& item = snapshot.items[index];
    reply_add("ok %ld %ld %ld %ld", long(item.left), long(item.top), long(item.right), long(item.bottom));
}

// Who hears the mouse while the menu is open: the system gives a click to the capture of the
// foreground thread, so a click outside the menu reaches it only while the menu's program is in
// front and its thread holds the capture in menu mode. Said when a menu did not hear a click.
void cmd_menu_input(Args&)
{
    HWND menu = open_menu();
    if (menu == nullptr) {
        reply_error("no menu");
        return;
    }
    DWORD thread = 0;
    GUITHREADINFO info;
    if (!menu_thread_input(menu, &thread, &info)) {
        reply_error("cannot read the menu's thread");
        return;
    }
    const HWND foreground = GetForegroundWindow();
    const DWORD foreground_thread = foreground != nullptr ? GetWindowThreadProcessId(foreground, nullptr) : 0;
    reply_add("ok foreground=0x%llx foreground_tid=%lu menu_tid=%lu active=0x%llx focus=0x%llx capture=0x%llx "
              "menu_owner=0x%llx flags=0x%lx",
        handle_value(foreground), foreground_thread, thread, handle_value(info.hwndActive),
        handle_value(info.hwndFocus), handle_value(info.hwndCapture), handle_value(info.hwndMenuOwner), info.flags);
}
