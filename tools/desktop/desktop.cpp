// desktop.exe: stands in for the taskbar and for the user in the end-to-end tests.
//
// It owns a top-level "Shell_TrayWnd" window, so Wine's shell32 hands it every notification-icon
// call as WM_COPYDATA; it keeps the icons' state and a log of the calls. It reads one command a
// line from stdin (UTF-8) and answers each with exactly one line on stdout (UTF-8) that starts
// with "ok" or "error <reason>". README.md lists the commands and their replies.
//
// Threads: the main thread owns the window and pumps its messages; a reader thread reads stdin
// and hands each line to the window with SendMessage, so every command and every notification
// runs on the window thread and the state below needs no lock. Only the reader writes stdout.

#include <windows.h>
#include <psapi.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/desktop/process_counts.h"
#include "tools/desktop/tray_record.h"

namespace {

constexpr wchar_t TRAY_CLASS[] = L"Shell_TrayWnd";
constexpr wchar_t MENU_CLASS[] = L"#32768";
constexpr UINT WM_RUN_COMMAND = WM_APP + 1;

constexpr int MAX_ICONS = 16;
constexpr int MAX_EVENTS = 1024;
constexpr size_t TIP_UTF8_MAX = TIP_CHARS * 3 + 1;
constexpr size_t LINE_MAX = 8192;
constexpr size_t REPLY_MAX = 1 << 20;
constexpr size_t TEXT_MAX = 4096;  // UTF-16 units read from a window or control
constexpr UINT SEND_TIMEOUT_MS = 5000;
constexpr DWORD POLL_MS = 20;

// Where `click` puts the mouse cursor unless told: inside the 1280x800 test screen, away from its
// edges, so a popup menu opens at the cursor without being pushed aside.
constexpr int DEFAULT_CURSOR_X = 600;
constexpr int DEFAULT_CURSOR_Y = 400;

struct Icon {
    bool used;
    HWND owner;
    unsigned id;
    unsigned message;
    Picture picture;
    char tip[TIP_UTF8_MAX];
};

struct Event {
    unsigned seq;
    const char* kind;
    HWND owner;
    unsigned id;
    unsigned flags;
    Picture picture;
    char tip[TIP_UTF8_MAX];
};

// The reply being built; truncated (and so marked) rather than overflowed.
struct Reply {
    char text[REPLY_MAX];
    size_t length;
};

// Window-thread state.
HWND tray_window = nullptr;
Icon icons[MAX_ICONS];
int newest_icon = -1;
Event events[MAX_EVENTS];
int event_count = 0;
unsigned next_seq = 1;
Reply reply;

// ---- text ----

void utf16_to_utf8(const wchar_t* text, char* out, size_t size)
{
    out[0] = '\0';
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, out, int(size), nullptr, nullptr) == 0) {
        out[size - 1] = '\0';
    }
}

void utf8_to_utf16(const char* text, wchar_t* out, size_t count)
{
    out[0] = L'\0';
    if (MultiByteToWideChar(CP_UTF8, 0, text, -1, out, int(count)) == 0) {
        out[count - 1] = L'\0';
    }
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Text arguments may carry %XX escapes (for '%', leading spaces, '|' and the like).
void percent_decode(const char* text, char* out, size_t size)
{
    size_t n = 0;
    for (const char* p = text; *p != '\0' && n + 1 < size; p++) {
        if (p[0] == '%' && hex_value(p[1]) >= 0 && hex_value(p[2]) >= 0) {
            out[n++] = char(hex_value(p[1]) * 16 + hex_value(p[2]));
            p += 2;
        } else {
            out[n++] = *p;
        }
    }
    out[n] = '\0';
}

// ---- replies ----

void reply_clear()
{
    reply.length = 0;
    reply.text[0] = '\0';
}

void reply_add(const char* format, ...)
{
    size_t room = sizeof reply.text - reply.length;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(reply.text + reply.length, room, format, args);
    va_end(args);
    if (n < 0) {
        return;
    }
    reply.length = size_t(n) < room ? reply.length + size_t(n) : sizeof reply.text - 1;
}

// Texts go into replies with '%', '|' and control characters as %XX, so that every reply stays
// one line and '|' can separate list items.
void reply_add_escaped(const char* utf8)
{
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8); *p != 0; p++) {
        if (*p == '%' || *p == '|' || *p < 0x20 || *p == 0x7f) {
            reply_add("%%%02X", *p);
        } else {
            reply_add("%c", *p);
        }
    }
}

void reply_add_escaped(const wchar_t* text)
{
    static char utf8[TEXT_MAX * 3 + 1];
    utf16_to_utf8(text, utf8, sizeof utf8);
    reply_add_escaped(utf8);
}

void reply_error(const char* reason)
{
    reply_clear();
    reply_add("error %s", reason);
}

// ---- arguments ----

// The next space-separated word of `*rest`, advancing it; false when there is none.
bool next_word(const char** rest, char* out, size_t size)
{
    const char* p = *rest;
    while (*p == ' ') {
        p++;
    }
    size_t n = 0;
    while (*p != '\0' && *p != ' ') {
        if (n + 1 < size) {
            out[n++] = *p;
        }
        p++;
    }
    out[n] = '\0';
    *rest = p;
    return n > 0;
}

// What is left of the line after one separating space, percent-decoded.
void rest_text(const char* rest, char* out, size_t size)
{
    if (*rest == ' ') {
        rest++;
    }
    percent_decode(rest, out, size);
}

bool parse_number(const char* word, long long* out)
{
    char* end = nullptr;
    long long value = strtoll(word, &end, 0);
    if (word[0] == '\0' || *end != '\0') {
        return false;
    }
    *out = value;
    return true;
}

bool next_number(const char** rest, long long* out)
{
    char word[64];
    return next_word(rest, word, sizeof word) && parse_number(word, out);
}

bool next_window(const char** rest, HWND* out)
{
    long long value = 0;
    if (!next_number(rest, &value)) {
        return false;
    }
    *out = reinterpret_cast<HWND>(static_cast<intptr_t>(value));
    return IsWindow(*out) != FALSE;
}

// A control by id, or the window itself for "-".
bool next_control(const char** rest, HWND window, HWND* out)
{
    char word[64];
    if (!next_word(rest, word, sizeof word)) {
        return false;
    }
    if (strcmp(word, "-") == 0) {
        *out = window;
        return true;
    }
    long long id = 0;
    if (!parse_number(word, &id)) {
        return false;
    }
    *out = GetDlgItem(window, int(id));
    return *out != nullptr;
}

unsigned long long handle_value(HWND window)
{
    return static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(window));
}

// ---- windows of other processes ----

// A window's text through WM_GETTEXT, which reaches controls of other processes too.
bool window_text(HWND window, wchar_t* out, size_t count)
{
    DWORD_PTR length = 0;
    out[0] = L'\0';
    if (!SendMessageTimeoutW(window, WM_GETTEXT, count, reinterpret_cast<LPARAM>(out), SMTO_ABORTIFHUNG,
                             SEND_TIMEOUT_MS, &length)) {
        return false;
    }
    out[length < count ? length : count - 1] = L'\0';
    return true;
}

struct FindRequest {
    const wchar_t* class_name;  // null for any
    const wchar_t* title;       // null for any
    HWND found[64];
    int count;
    bool visible_only;
};

BOOL CALLBACK collect_window(HWND window, LPARAM param)
{
    FindRequest* request = reinterpret_cast<FindRequest*>(param);
    wchar_t text[512];
    if (request->visible_only && !IsWindowVisible(window)) {
        return TRUE;
    }
    if (request->class_name != nullptr) {
        GetClassNameW(window, text, 512);
        if (lstrcmpiW(text, request->class_name) != 0) {
            return TRUE;
        }
    }
    if (request->title != nullptr) {
        GetWindowTextW(window, text, 512);
        if (lstrcmpW(text, request->title) != 0) {
            return TRUE;
        }
    }
    if (request->count < 64) {
        request->found[request->count++] = window;
    }
    return TRUE;
}

// Top-level windows by class and title ("-" for any), in z-order.
int find_windows(const char* class_name, const char* title, bool visible_only, FindRequest* request)
{
    static wchar_t class_w[256];
    static wchar_t title_w[512];
    std::memset(request, 0, sizeof *request);
    request->visible_only = visible_only;
    if (strcmp(class_name, "-") != 0) {
        utf8_to_utf16(class_name, class_w, 256);
        request->class_name = class_w;
    }
    if (strcmp(title, "-") != 0) {
        utf8_to_utf16(title, title_w, 512);
        request->title = title_w;
    }
    EnumWindows(collect_window, reinterpret_cast<LPARAM>(request));
    return request->count;
}

HWND open_menu()
{
    FindRequest request;
    std::memset(&request, 0, sizeof request);
    request.class_name = MENU_CLASS;
    request.visible_only = true;
    EnumWindows(collect_window, reinterpret_cast<LPARAM>(&request));
    return request.count > 0 ? request.found[0] : nullptr;
}

// ---- icons and their log ----

int find_icon(HWND owner, unsigned id)
{
    for (int i = 0; i < MAX_ICONS; i++) {
        if (icons[i].used && icons[i].owner == owner && icons[i].id == id) {
            return i;
        }
    }
    return -1;
}

int icon_count()
{
    int count = 0;
    for (const Icon& icon : icons) {
        count += icon.used ? 1 : 0;
    }
    return count;
}

void log_event(const char* kind, HWND owner, unsigned id, unsigned flags, Picture picture, const char* tip)
{
    if (event_count == MAX_EVENTS) {
        // The oldest event gives way; the gap shows in the sequence numbers.
        std::memmove(events, events + 1, sizeof events[0] * (MAX_EVENTS - 1));
        event_count--;
    }
    Event& event = events[event_count++];
    event.seq = next_seq++;
    event.kind = kind;
    event.owner = owner;
    event.id = id;
    event.flags = flags;
    event.picture = picture;
    lstrcpynA(event.tip, tip, sizeof event.tip);
}

void apply_record_fields(Icon& icon, const TrayRecord& record)
{
    if (record.flags & NIF_MESSAGE) {
        icon.message = record.callback_message;
    }
    if (record.flags & NIF_ICON) {
        icon.picture = record.picture;
    }
    if (record.flags & NIF_TIP) {
        utf16_to_utf8(reinterpret_cast<const wchar_t*>(record.tip), icon.tip, sizeof icon.tip);
    }
}

struct CallKind {
    DWORD code;
    const char* done;
    const char* failed;
};

constexpr CallKind CALL_KINDS[] = {
    {NIM_ADD, "add", "add-failed"},
    {NIM_MODIFY, "modify", "modify-failed"},
    {NIM_DELETE, "delete", "delete-failed"},
    {NIM_SETFOCUS, "setfocus", "setfocus-failed"},
    {NIM_SETVERSION, "setversion", "setversion-failed"},
};

int free_icon_slot()
{
    for (int i = 0; i < MAX_ICONS; i++) {
        if (!icons[i].used) {
            return i;
        }
    }
    return -1;
}

// One Shell_NotifyIcon call, answered as the taskbar does: TRUE when it was carried out. An add
// of an icon that is already there fails, as does anything else for an icon that is not.
LRESULT on_notify_icon(DWORD_PTR code, const COPYDATASTRUCT* data)
{
    TrayRecord record;
    if (!parse_tray_record(data->lpData, data->cbData, &record)) {
        log_event("unreadable", nullptr, 0, 0, Picture::none, "");
        return FALSE;
    }
    HWND owner = reinterpret_cast<HWND>(static_cast<intptr_t>(record.owner));
    int index = find_icon(owner, record.id);
    bool done = false;
    if (code == NIM_ADD) {
        if (index < 0) {
            index = free_icon_slot();
            if (index >= 0) {
                Icon& icon = icons[index];
                std::memset(&icon, 0, sizeof icon);
                icon.used = true;
                icon.owner = owner;
                icon.id = record.id;
                apply_record_fields(icon, record);
                newest_icon = index;
                done = true;
            }
        }
    } else if (code == NIM_MODIFY) {
        if (index >= 0) {
            apply_record_fields(icons[index], record);
            done = true;
        }
    } else {
        done = index >= 0;
    }
    const char* kind = done ? "other" : "other-failed";
    for (const CallKind& known : CALL_KINDS) {
        if (known.code == code) {
            kind = done ? known.done : known.failed;
        }
    }
    if (index >= 0) {
        log_event(kind, owner, record.id, record.flags, icons[index].picture, icons[index].tip);
    } else {
        log_event(kind, owner, record.id, record.flags, record.picture, "");
    }
    if (done && code == NIM_DELETE) {
        icons[index].used = false;
    }
    return done ? TRUE : FALSE;
}

// The icon that commands act on: the one added last, or any one still there.
const Icon* current_icon()
{
    if (newest_icon >= 0 && icons[newest_icon].used) {
        return &icons[newest_icon];
    }
    for (const Icon& icon : icons) {
        if (icon.used) {
            return &icon;
        }
    }
    return nullptr;
}

// ---- commands (window thread) ----

// What a command takes before its own words: nothing, a window, a window and one of its controls
// ("-" for the window itself), or a window and a control that is not the window itself.
enum class Takes { nothing, window, control, child };

// A command's arguments: the window and control it names (run_command has checked them, as the
// table says), the words that follow, and the error reason for words that do not fit.
struct Args {
    HWND window;
    HWND control;
    const char* rest;
    const char* usage;
};

void cmd_ping(Args&)
{
    reply_add("ok");
}

void cmd_tray(Args&)
{
    const Icon* icon = current_icon();
    if (icon == nullptr) {
        reply_add("ok count=0");
        return;
    }
    reply_add("ok count=%d hwnd=0x%llx id=%u msg=%u icon=%s tip=", icon_count(), handle_value(icon->owner),
              icon->id, icon->message, picture_name(icon->picture));
    reply_add_escaped(icon->tip);
}

void cmd_events(Args&)
{
    reply_add("ok %d", event_count);
    for (int i = 0; i < event_count; i++) {
        const Event& event = events[i];
        reply_add("%c%u:%s:0x%llx:%u:%u:%s:", i == 0 ? ' ' : '|', event.seq, event.kind, handle_value(event.owner),
                  event.id, event.flags, picture_name(event.picture));
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
        {"left", WM_LBUTTONDOWN},       {"right", WM_RBUTTONDOWN},      {"move", WM_MOUSEMOVE},
        {"left-up", WM_LBUTTONUP},      {"right-up", WM_RBUTTONUP},     {"left-double", WM_LBUTTONDBLCLK},
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
    // A restarted taskbar knows no icons: the programs have to add theirs again.
    for (Icon& icon : icons) {
        icon.used = false;
    }
    newest_icon = -1;
    log_event("reset", nullptr, 0, 0, Picture::none, "");
    UINT message = RegisterWindowMessageW(L"TaskbarCreated");
    DWORD_PTR result = 0;
    // Sent, not posted: the answer comes after every window has handled it, so the icons added
    // again in response are already counted below (their calls reach this thread meanwhile).
    SendMessageTimeoutW(HWND_BROADCAST, message, 0, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &result);
    reply_add("ok count=%d", icon_count());
}

void find_command(Args& args, bool visible_only)
{
    char class_name[256];
    char title[1024];
    if (!next_word(&args.rest, class_name, sizeof class_name)) {
        reply_error(args.usage);
        return;
    }
    rest_text(args.rest, title, sizeof title);
    if (title[0] == '\0') {
        strcpy(title, "-");
    }
    FindRequest request;
    find_windows(class_name, title, visible_only, &request);
    reply_add("ok");
    for (int i = 0; i < request.count; i++) {
        reply_add(" 0x%llx", handle_value(request.found[i]));
    }
}

void cmd_find(Args& args)
{
    find_command(args, false);
}

// Visible ones only: a dialog shows itself once its controls are made and initialised.
void cmd_find_visible(Args& args)
{
    find_command(args, true);
}

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

void cmd_controls(Args& args)
{
    reply_add("ok");
    int listed = 0;
    EnumChildWindows(args.window, list_control, reinterpret_cast<LPARAM>(&listed));
}

void cmd_info(Args& args)
{
    DWORD pid = 0;
    DWORD tid = GetWindowThreadProcessId(args.window, &pid);
    RECT rect{};
    GetWindowRect(args.window, &rect);
    wchar_t class_name[128];
    static wchar_t title[TEXT_MAX];
    GetClassNameW(args.window, class_name, 128);
    GetWindowTextW(args.window, title, TEXT_MAX);
    reply_add(
        "ok visible=%d enabled=%d pid=%lu tid=%lu rect=%ld,%ld,%ld,%ld class=", IsWindowVisible(args.window) ? 1 : 0,
        IsWindowEnabled(args.window) ? 1 : 0, pid, tid, rect.left, rect.top, rect.right, rect.bottom);
    reply_add_escaped(class_name);
    reply_add(" title=");
    reply_add_escaped(title);
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

void cmd_window_rect(Args& args)
{
    RECT rect{};
    GetWindowRect(args.window, &rect);
    reply_add("ok %ld %ld %ld %ld", rect.left, rect.top, rect.right, rect.bottom);
}

void cmd_pid(Args& args)
{
    DWORD pid = 0;
    DWORD tid = GetWindowThreadProcessId(args.window, &pid);
    reply_add("ok %lu %lu", pid, tid);
}

void cmd_close(Args& args)
{
    PostMessageW(args.window, WM_CLOSE, 0, 0);
    reply_add("ok");
}

void cmd_post(Args& args)
{
    long long message = 0;
    long long wparam = 0;
    long long lparam = 0;
    if (!next_number(&args.rest, &message) || !next_number(&args.rest, &wparam) || !next_number(&args.rest, &lparam)) {
        reply_error(args.usage);
        return;
    }
    if (!PostMessageW(args.window, UINT(message), WPARAM(wparam), LPARAM(lparam))) {
        reply_error("post failed");
        return;
    }
    reply_add("ok");
}

void cmd_command(Args& args)
{
    long long id = 0;
    long long lparam = 0;
    if (!next_number(&args.rest, &id)) {
        reply_error(args.usage);
        return;
    }
    next_number(&args.rest, &lparam);
    if (!PostMessageW(args.window, WM_COMMAND, WPARAM(id), LPARAM(lparam))) {
        reply_error("post failed");
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

// What a leak shows in: threads, kernel handles, private bytes (-1 where this system cannot
// tell). Wine keeps no count of a process's GDI and USER objects, so they are not offered.
void cmd_process(Args& args)
{
    long long pid = 0;
    if (!next_number(&args.rest, &pid)) {
        reply_error(args.usage);
        return;
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, DWORD(pid));
    DWORD exit_code = 0;
    if (process == nullptr || !GetExitCodeProcess(process, &exit_code) || exit_code != STILL_ACTIVE) {
        if (process != nullptr) {
            CloseHandle(process);
        }
        reply_error("no such process");
        return;
    }
    PROCESS_MEMORY_COUNTERS memory;
    std::memset(&memory, 0, sizeof memory);
    long long private_bytes =
        GetProcessMemoryInfo(process, &memory, sizeof memory) ? (long long)memory.PagefileUsage : -1;
    CloseHandle(process);
    reply_add("ok threads=%ld handles=%ld private=%lld", count_threads(DWORD(pid)), count_handles(DWORD(pid)),
              private_bytes);
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
    {"find", Takes::nothing, FIND_USAGE, cmd_find},
    {"find-visible", Takes::nothing, FIND_USAGE, cmd_find_visible},
    {"menu", Takes::nothing, nullptr, cmd_menu},
    {"menu-key", Takes::nothing, "usage: menu-key <char>", cmd_menu_key},
    {"menu-escape", Takes::nothing, nullptr, cmd_menu_escape},
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
    {"command", Takes::window, "usage: command <hwnd> <id> [<lparam>]", cmd_command},
    {"cursor", Takes::nothing, "usage: cursor [x y]", cmd_cursor},
    {"process", Takes::nothing, "usage: process <pid>", cmd_process},
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

LRESULT CALLBACK tray_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_COPYDATA: {
        const COPYDATASTRUCT* data = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
        return on_notify_icon(data->dwData, data);
    }
    case WM_RUN_COMMAND:
        run_command(reinterpret_cast<const char*>(lparam));
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

// ---- the reader thread ----

HANDLE output = nullptr;

void write_line(const char* text)
{
    DWORD written = 0;
    size_t length = strlen(text);
    WriteFile(output, text, DWORD(length), &written, nullptr);
    WriteFile(output, "\n", 1, &written, nullptr);
    FlushFileBuffers(output);
}

// wait-window <timeout_ms> <class|-> [<title>]: polls find-visible here, so that the window
// thread keeps answering the shell meanwhile.
void wait_window(const char* rest)
{
    long long timeout = 0;
    if (!next_number(&rest, &timeout)) {
        write_line("error usage: wait-window <timeout_ms> <class|-> [<title>]");
        return;
    }
    char find_line[LINE_MAX];
    snprintf(find_line, sizeof find_line, "find-visible%s", rest);
    ULONGLONG deadline = GetTickCount64() + ULONGLONG(timeout);
    for (;;) {
        SendMessageW(tray_window, WM_RUN_COMMAND, 0, reinterpret_cast<LPARAM>(find_line));
        if (strncmp(reply.text, "ok 0x", 5) == 0) {
            // The first match only.
            char* space = strchr(reply.text + 3, ' ');
            if (space != nullptr) {
                *space = '\0';
            }
            write_line(reply.text);
            return;
        }
        if (strncmp(reply.text, "error", 5) == 0) {
            write_line(reply.text);
            return;
        }
        if (GetTickCount64() >= deadline) {
            write_line("error timeout");
            return;
        }
        Sleep(POLL_MS);
    }
}

void handle_line(char* line)
{
    size_t length = strlen(line);
    while (length > 0 && (line[length - 1] == '\r' || line[length - 1] == ' ')) {
        line[--length] = '\0';
    }
    if (strncmp(line, "wait-window", 11) == 0 && (line[11] == ' ' || line[11] == '\0')) {
        wait_window(line + 11);
        return;
    }
    SendMessageW(tray_window, WM_RUN_COMMAND, 0, reinterpret_cast<LPARAM>(line));
    write_line(reply.text);
}

DWORD WINAPI read_commands(void*)
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    static char line[LINE_MAX];
    size_t length = 0;
    bool overlong = false;
    for (;;) {
        char chunk[4096];
        DWORD got = 0;
        if (!ReadFile(input, chunk, sizeof chunk, &got, nullptr) || got == 0) {
            break;
        }
        for (DWORD i = 0; i < got; i++) {
            if (chunk[i] != '\n') {
                if (length + 1 < sizeof line) {
                    line[length++] = chunk[i];
                } else {
                    overlong = true;
                }
                continue;
            }
            line[length] = '\0';
            if (overlong) {
                write_line("error line too long");
            } else {
                handle_line(line);
                if (strcmp(line, "quit") == 0) {
                    PostMessageW(tray_window, WM_CLOSE, 0, 0);
                    return 0;
                }
            }
            length = 0;
            overlong = false;
        }
    }
    // The test has gone: so does the taskbar.
    PostMessageW(tray_window, WM_CLOSE, 0, 0);
    return 0;
}

}  // namespace

int main()
{
    output = GetStdHandle(STD_OUTPUT_HANDLE);
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = tray_procedure;
    window_class.hInstance = instance;
    window_class.lpszClassName = TRAY_CLASS;
    if (!RegisterClassW(&window_class)) {
        write_line("error cannot register the window class");
        return 1;
    }
    // Wine's explorer has a hidden "Shell_TrayWnd" of its own; shell32 talks to the first one in
    // z-order. A topmost window comes before every other top-level window, so this one is first.
    tray_window = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, TRAY_CLASS, L"", WS_POPUP, 0, 0, 1, 1, nullptr,
                                  nullptr, instance, nullptr);
    if (tray_window == nullptr) {
        write_line("error cannot create the window (is DISPLAY set?)");
        return 1;
    }
    HWND first = FindWindowExW(nullptr, nullptr, TRAY_CLASS, nullptr);
    if (first != tray_window) {
        char text[128];
        snprintf(text, sizeof text, "error another Shell_TrayWnd comes first: 0x%llx", handle_value(first));
        write_line(text);
        return 1;
    }
    char ready[128];
    snprintf(ready, sizeof ready, "ok desktop hwnd=0x%llx pid=%lu", handle_value(tray_window), GetCurrentProcessId());
    write_line(ready);

    HANDLE reader = CreateThread(nullptr, 0, read_commands, nullptr, 0, nullptr);
    if (reader == nullptr) {
        write_line("error cannot start the reader");
        return 1;
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    // The reader may still sit in ReadFile: the process ends without waiting for it.
    ExitProcess(0);
}
