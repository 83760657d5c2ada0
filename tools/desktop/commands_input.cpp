#include "tools/desktop/commands.h"

#include "tools/desktop/desktop.h"

// A real left click at a screen point, through the system's input queue as a mouse would give it:
// it goes to the window under the pointer, or to whichever window holds the mouse capture.
void cmd_mouse_click(Args& args)
{
    long long x = 0;
    long long y = 0;
    if (!next_number(&args.rest, &x) || !next_number(&args.rest, &y)) {
        reply_error(args.usage);
        return;
    }
    SetCursorPos(int(x), int(y));
    INPUT inputs[2] = {};
    inputs[0].type = INPUT_MOUSE;
    inputs[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    inputs[1].type = INPUT_MOUSE;
    inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    if (SendInput(2, inputs, sizeof inputs[0]) != 2) {
        reply_error("input refused");
        return;
    }
    reply_add("ok");
}

void cmd_cursor(Args& args)
{
    long long x = 0;
    long long y = 0;
    if (next_number(&args.rest, &x)) {
        if (!next_number(&args.rest, &y)) {
            reply_error(args.usage);
            return;
        }
        SetCursorPos(int(x), int(y));
    }
    POINT point{};
    GetCursorPos(&point);
    reply_add("ok %ld %ld", point.x, point.y);
}
