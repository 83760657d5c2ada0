#include "tools/desktop/commands.h"

#include <cstring>

#include "tools/desktop/desktop.h"
#include "tools/desktop/taskbar.h"

namespace {

// Where `click` puts the mouse cursor unless told: inside the 1280x800 test screen, away from its
// edges, so a popup menu opens at the cursor without being pushed aside.
constexpr int DEFAULT_CURSOR_X = 600;
constexpr int DEFAULT_CURSOR_Y = 400;

}  // namespace

void cmd_tray(Args&)
{
    const Icon* icon = current_icon();
    if (icon == nullptr) {
        reply_add("ok count=0");
        return;
    }
    reply_add("ok count=%d hwnd=0x%llx id=%u msg=%u icon=%s size=%ux%u tip=", icon_count(), handle_value(icon->owner),
        icon->id, icon->message, picture_name(icon->image.picture), icon->image.width, icon->image.height);
    reply_add_escaped(icon->tip);
}

void cmd_events(Args&)
{
    reply_add("ok %d", event_count);
    for (int i = 0; i < event_count; i++) {
        const Event& event = events[i];
        reply_add("%c%u:%s:0x%llx:%u:%u:%s:%ux%u:", i == 0 ? ' ' : '|', event.seq, event.kind,
            handle_value(event.owner), event.id, event.flags, picture_name(event.image.picture), event.image.width,
            event.image.height);
        reply_add_escaped(event.tip);
    }
    event_count = 0;
}

void cmd_click(Args& args)
{
    static const struct {
        const char* name;
        UINT message;
    } kinds[] = {
        {"left", WM_LBUTTONDOWN},
        {"right", WM_RBUTTONDOWN},
        {"move", WM_MOUSEMOVE},
        {"left-up", WM_LBUTTONUP},
        {"right-up", WM_RBUTTONUP},
        {"left-double", WM_LBUTTONDBLCLK},
        {"right-double", WM_RBUTTONDBLCLK},
    };
    char word[32];
    if (!next_word(&args.rest, word, sizeof word)) {
        reply_error(args.usage);
        return;
    }
    UINT message = 0;
    for (const auto& kind : kinds) {
        if (strcmp(word, kind.name) == 0) {
            message = kind.message;
        }
    }
    if (message == 0) {
        reply_error("unknown click");
        return;
    }
    long long x = DEFAULT_CURSOR_X;
    long long y = DEFAULT_CURSOR_Y;
    if (next_number(&args.rest, &x) && !next_number(&args.rest, &y)) {
        reply_error("usage: click <kind> [x y]");
        return;
    }
    const Icon* icon = current_icon();
    if (icon == nullptr) {
        reply_error("no icon");
        return;
    }
    if (icon->message == 0) {
        reply_error("icon has no callback message");
        return;
    }
    // As the shell does: the pointer is where the user clicked, then the owner hears of it.
    SetCursorPos(int(x), int(y));
    if (!PostMessageW(icon->owner, icon->message, icon->id, message)) {
        reply_error("owner window gone");
        return;
    }
    reply_add("ok x=%lld y=%lld", x, y);
}

void cmd_taskbar_created(Args&)
{
    forget_icons();
    UINT message = RegisterWindowMessageW(L"TaskbarCreated");
    DWORD_PTR result = 0;
    // Sent, not posted: the answer comes after every window has handled it, so the icons added
    // again in response are already counted below (their calls reach this thread meanwhile).
    SendMessageTimeoutW(HWND_BROADCAST, message, 0, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &result);
    reply_add("ok count=%d", icon_count());
}

// A taskbar that restarted without a word to the program, as one does for an elevated program
// whose "TaskbarCreated" the system filters out: the icons are gone, and nobody is told.
void cmd_forget_icons(Args&)
{
    forget_icons();
    reply_add("ok");
}

void cmd_refuse_adds(Args& args)
{
    long long count = 0;
    if (!next_number(&args.rest, &count) || count < 0 || count > 1000000) {
        reply_error(args.usage);
        return;
    }
    refuse_adds(static_cast<int>(count));
    reply_add("ok");
}
