#include "tools/desktop/commands.h"

#include "tools/desktop/desktop.h"
#include "tools/desktop/menu_reader.h"
#include "tools/desktop/other_windows.h"

void cmd_menu(Args&)
{
    HWND menu = open_menu();
    if (menu == nullptr) {
        reply_add("ok closed");
    } else {
        reply_add("ok open 0x%llx", handle_value(menu));
    }
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
