#include "tools/desktop/commands.h"

#include "tools/desktop/desktop.h"
#include "tools/desktop/other_windows.h"

namespace {

BOOL CALLBACK list_control(HWND control, LPARAM param)
{
    int* listed = reinterpret_cast<int*>(param);
    static wchar_t text[TEXT_MAX];
    wchar_t class_name[128];
    GetClassNameW(control, class_name, 128);
    window_text(control, text, TEXT_MAX);
    reply_add("%c%d:", (*listed)++ == 0 ? ' ' : '|', GetDlgCtrlID(control));
    reply_add_escaped(class_name);
    reply_add(":");
    reply_add_escaped(text);
    return TRUE;
}

}  // namespace

void cmd_get_text(Args& args)
{
    static wchar_t text[TEXT_MAX];
    if (!window_text(args.control, text, TEXT_MAX)) {
        reply_error("no answer");
        return;
    }
    reply_add("ok ");
    reply_add_escaped(text);
}

void cmd_set_text(Args& args)
{
    static char utf8[TEXT_MAX];
    static wchar_t text[TEXT_MAX];
    rest_text(args.rest, utf8, sizeof utf8);
    utf8_to_utf16(utf8, text, TEXT_MAX);
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(
            args.control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &result)) {
        reply_error("no answer");
        return;
    }
    reply_add("ok");
}

// Posted, not sent: the click may start a modal loop (a message box) that would not return.
void cmd_press(Args& args)
{
    PostMessageW(args.control, BM_CLICK, 0, 0);
    reply_add("ok");
}

void cmd_combo_items(Args& args)
{
    DWORD_PTR count = 0;
    if (!SendMessageTimeoutW(args.control, CB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &count) ||
        LRESULT(count) == CB_ERR) {
        reply_error("no answer");
        return;
    }
    reply_add("ok %d", int(count));
    static wchar_t text[TEXT_MAX];
    for (DWORD_PTR i = 0; i < count; i++) {
        DWORD_PTR length = 0;
        text[0] = L'\0';
        if (SendMessageTimeoutW(args.control, CB_GETLBTEXTLEN, i, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &length) &&
            length < TEXT_MAX) {
            SendMessageTimeoutW(args.control, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                SEND_TIMEOUT_MS, &length);
        }
        reply_add("%c", i == 0 ? ' ' : '|');
        reply_add_escaped(text);
    }
}

void cmd_combo_selected(Args& args)
{
    DWORD_PTR index = 0;
    if (!SendMessageTimeoutW(args.control, CB_GETCURSEL, 0, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &index)) {
        reply_error("no answer");
        return;
    }
    reply_add("ok %d", int(LRESULT(index)));
}

// Selects as the user would: the selection moves, then the dialog hears CBN_SELCHANGE.
void cmd_combo_select(Args& args)
{
    long long index = 0;
    if (!next_number(&args.rest, &index)) {
        reply_error(args.usage);
        return;
    }
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(
            args.control, CB_SETCURSEL, WPARAM(index), 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &result) ||
        LRESULT(result) == CB_ERR) {
        reply_error("no such item");
        return;
    }
    PostMessageW(GetParent(args.control), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(args.control), CBN_SELCHANGE),
        reinterpret_cast<LPARAM>(args.control));
    reply_add("ok");
}

void cmd_controls(Args& args)
{
    reply_add("ok");
    int listed = 0;
    EnumChildWindows(args.window, list_control, reinterpret_cast<LPARAM>(&listed));
}

// One control as the dialog manager made it: its class, styles and place in the dialog's client
// area, and the client area's size, so a test can check the template that was loaded.
void cmd_control(Args& args)
{
    wchar_t class_name[128];
    GetClassNameW(args.control, class_name, 128);
    RECT rect{};
    GetWindowRect(args.control, &rect);
    MapWindowPoints(nullptr, args.window, reinterpret_cast<POINT*>(&rect), 2);
    RECT client{};
    GetClientRect(args.window, &client);
    reply_add("ok style=0x%08lx exstyle=0x%08lx rect=%ld,%ld,%ld,%ld client=%ld,%ld class=",
        static_cast<unsigned long>(GetWindowLongW(args.control, GWL_STYLE)),
        static_cast<unsigned long>(GetWindowLongW(args.control, GWL_EXSTYLE)), rect.left, rect.top, rect.right,
        rect.bottom, client.right, client.bottom);
    reply_add_escaped(class_name);
}
