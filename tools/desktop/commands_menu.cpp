#include "tools/desktop/commands.h"

#include "tools/desktop/desktop.h"
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
