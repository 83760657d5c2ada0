#include "tools/desktop/commands.h"

#include <cstring>

#include "tools/desktop/desktop.h"

namespace {

constexpr size_t TYPE_MAX = 1024;  // UTF-16 units that one `type` sends

struct KeyName {
    const char* name;
    WORD key;
    bool extended;  // one of the keys beside the main block: the system tells them by this flag
};

constexpr KeyName KEY_NAMES[] = {
    {"enter", VK_RETURN, false},
    {"escape", VK_ESCAPE, false},
    {"tab", VK_TAB, false},
    {"backspace", VK_BACK, false},
    {"space", VK_SPACE, false},
    {"delete", VK_DELETE, true},
    {"home", VK_HOME, true},
    {"end", VK_END, true},
    {"left", VK_LEFT, true},
    {"right", VK_RIGHT, true},
    {"up", VK_UP, true},
    {"down", VK_DOWN, true},
};

constexpr KeyName MODIFIERS[] = {
    {"ctrl", VK_CONTROL, false},
    {"shift", VK_SHIFT, false},
    {"alt", VK_MENU, false},
};

constexpr size_t MAX_MODIFIERS = sizeof MODIFIERS / sizeof MODIFIERS[0];

bool named_key(const char* name, const KeyName* table, size_t count, KeyName* out)
{
    for (size_t i = 0; i < count; i++) {
        if (std::strcmp(name, table[i].name) == 0) {
            *out = table[i];
            return true;
        }
    }
    return false;
}

// A key by name, or a single letter or digit (its virtual key is the upper-case character).
bool main_key(const char* name, KeyName* out)
{
    if (named_key(name, KEY_NAMES, sizeof KEY_NAMES / sizeof KEY_NAMES[0], out)) {
        return true;
    }
    const char c = name[0];
    if (c == '\0' || name[1] != '\0') {
        return false;
    }
    if (c >= 'a' && c <= 'z') {
        *out = KeyName{"", WORD(c - 'a' + 'A'), false};
        return true;
    }
    if (c >= '0' && c <= '9') {
        *out = KeyName{"", WORD(c), false};
        return true;
    }
    return false;
}

INPUT key_input(const KeyName& key, bool up)
{
    INPUT input;
    std::memset(&input, 0, sizeof input);
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = key.key;
    input.ki.wScan = WORD(MapVirtualKeyW(key.key, MAPVK_VK_TO_VSC));
    input.ki.dwFlags = (key.extended ? KEYEVENTF_EXTENDEDKEY : 0) | (up ? KEYEVENTF_KEYUP : 0);
    return input;
}

}  // namespace

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

// Text as typed on a keyboard, through the system's input queue: each UTF-16 unit as a key press
// of its own (KEYEVENTF_UNICODE), so any language comes through whatever the keyboard layout. It
// goes to the focus window of the foreground program, as typing does.
void cmd_type(Args& args)
{
    static char utf8[TEXT_MAX];
    static wchar_t text[TYPE_MAX + 1];
    static INPUT inputs[2 * TYPE_MAX];
    rest_text(args.rest, utf8, sizeof utf8);
    utf8_to_utf16(utf8, text, TYPE_MAX + 1);
    const size_t length = wcslen(text);
    if (length == 0) {
        reply_error(args.usage);
        return;
    }
    for (size_t i = 0; i < length; i++) {
        for (int up = 0; up < 2; up++) {
            INPUT& input = inputs[2 * i + up];
            std::memset(&input, 0, sizeof input);
            input.type = INPUT_KEYBOARD;
            input.ki.wScan = WORD(text[i]);
            input.ki.dwFlags = KEYEVENTF_UNICODE | (up ? KEYEVENTF_KEYUP : 0);
        }
    }
    const UINT count = UINT(2 * length);
    if (SendInput(count, inputs, sizeof inputs[0]) != count) {
        reply_error("input refused");
        return;
    }
    reply_add("ok %u", unsigned(length));
}

// One key with any modifiers held ("enter", "ctrl+a", "shift+tab"), through the system's input
// queue as a keyboard gives it: the modifiers go down, the key goes down and up, the modifiers
// come up in reverse order.
void cmd_key(Args& args)
{
    char word[64];
    if (!next_word(&args.rest, word, sizeof word)) {
        reply_error(args.usage);
        return;
    }
    KeyName held[MAX_MODIFIERS];
    size_t held_count = 0;
    KeyName key{};
    char* part = word;
    for (;;) {
        char* plus = std::strchr(part, '+');
        if (plus == nullptr) {
            break;
        }
        *plus = '\0';
        if (held_count == MAX_MODIFIERS || !named_key(part, MODIFIERS, MAX_MODIFIERS, &held[held_count])) {
            reply_error("unknown modifier");
            return;
        }
        held_count++;
        part = plus + 1;
    }
    if (!main_key(part, &key)) {
        reply_error("unknown key");
        return;
    }
    INPUT inputs[2 * MAX_MODIFIERS + 2];
    UINT count = 0;
    for (size_t i = 0; i < held_count; i++) {
        inputs[count++] = key_input(held[i], false);
    }
    inputs[count++] = key_input(key, false);
    inputs[count++] = key_input(key, true);
    for (size_t i = held_count; i > 0; i--) {
        inputs[count++] = key_input(held[i - 1], true);
    }
    if (SendInput(count, inputs, sizeof inputs[0]) != count) {
        reply_error("input refused");
        return;
    }
    reply_add("ok");
}
