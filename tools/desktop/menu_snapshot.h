#pragma once
// What menu_hook.dll, running inside the program whose popup menu is open, hands the desktop: the
// menu's items as that program holds them. Under Wine 8 a menu handle means something only in
// its own process (GetMenuStringW on another process's HMENU fails), so the reading is done there.
//
// The desktop installs the hook (SetWindowsHookExW, WH_CALLWNDPROC) on the menu's thread, then
// sends that thread's menu window MENU_SNAPSHOT_MESSAGE with its own window in wParam. The hook
// sees the message inside that thread, reads the menu, and sends the snapshot back as
// WM_COPYDATA tagged MENU_SNAPSHOT_TAG while the desktop still waits for the first message. The
// desktop and the DLL are built together for one architecture, so the layout is shared as is.
#include <windows.h>

#include <cstdint>

constexpr wchar_t MENU_SNAPSHOT_MESSAGE[] = L"qel-desktop-menu-snapshot";
constexpr ULONG_PTR MENU_SNAPSHOT_TAG = 0x514D454E;  // WM_COPYDATA's dwData; shell32 sends NIM_ codes 0 to 4
constexpr wchar_t MENU_HOOK_DLL[] = L"menu_hook.dll";
constexpr char MENU_HOOK_PROCEDURE[] = "menu_hook_procedure";

// How long the hook waits for the desktop to take the snapshot: only a desktop that has gone
// keeps it waiting, since the desktop waits for the snapshot meanwhile.
constexpr UINT MENU_SNAPSHOT_TIMEOUT_MS = 5000;

constexpr int MENU_SNAPSHOT_ITEMS = 64;
constexpr int MENU_LABEL_CHARS = 256;  // UTF-16 units, terminator included

struct MenuSnapshotItem {
    int32_t left;  // the item's rectangle on the screen
    int32_t top;
    int32_t right;
    int32_t bottom;
    wchar_t label[MENU_LABEL_CHARS];  // empty for separators and items without text; always terminated
};

struct MenuSnapshot {
    int32_t count;  // items in the menu; only the first MENU_SNAPSHOT_ITEMS are in `items`; -1: no menu
    MenuSnapshotItem items[MENU_SNAPSHOT_ITEMS];
};
