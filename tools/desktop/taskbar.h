#pragma once
// The stand-in taskbar: the icons that programs have added through Shell_NotifyIcon, and the log
// of every call, as the window procedure hands them over (WM_COPYDATA from Wine's shell32).
#include <windows.h>

#include "tools/desktop/tray_record.h"

constexpr int MAX_ICONS = 16;
constexpr int MAX_EVENTS = 1024;
constexpr size_t TIP_UTF8_MAX = TIP_CHARS * 3 + 1;

// The icon's picture as the shell was given it: its class and its size in pixels (0 x 0 for none).
struct IconImage {
    Picture picture;
    unsigned width;
    unsigned height;
};

struct Icon {
    bool used;
    HWND owner;
    unsigned id;
    unsigned message;
    IconImage image;
    char tip[TIP_UTF8_MAX];
};

struct Event {
    unsigned seq;
    const char* kind;
    HWND owner;
    unsigned id;
    unsigned flags;
    IconImage image;
    char tip[TIP_UTF8_MAX];
};

// The calls since the last `events` command, oldest first.
extern Event events[MAX_EVENTS];
extern int event_count;

// One Shell_NotifyIcon call, answered as the taskbar does: TRUE when it was carried out. An add
// of an icon that is already there fails, as does anything else for an icon that is not.
LRESULT on_notify_icon(DWORD_PTR code, const COPYDATASTRUCT* data);
// The next `count` adds are refused, as a shell that is not ready yet (at logon) refuses them; each
// is logged as `add-refused`.
void refuse_adds(int count);
// The icon that commands act on: the one added last, or any one still there.
const Icon* current_icon();
int icon_count();
// A restarted taskbar knows no icons: forgets them all and logs a `reset`.
void forget_icons();
