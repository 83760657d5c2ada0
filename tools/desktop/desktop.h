#pragma once
// What the test desktop's files share: texts, the reply being built, and reading a command's
// arguments. Everything here runs on the window thread (main.cpp tells why), so none of it locks.
#include <windows.h>

#include <cstddef>

constexpr UINT WM_RUN_COMMAND = WM_APP + 1;

constexpr size_t LINE_MAX = 8192;
constexpr size_t REPLY_MAX = 1 << 20;
constexpr size_t TEXT_MAX = 4096;  // UTF-16 units read from a window or control
constexpr UINT SEND_TIMEOUT_MS = 5000;
constexpr DWORD POLL_MS = 20;

// The stand-in taskbar's own window (main.cpp).
extern HWND tray_window;

// ---- text ----

void utf16_to_utf8(const wchar_t* text, char* out, size_t size);
void utf8_to_utf16(const char* text, wchar_t* out, size_t count);
// Text arguments may carry %XX escapes (for '%', leading spaces, '|' and the like).
void percent_decode(const char* text, char* out, size_t size);

// ---- replies ----

// The reply being built; truncated (and so marked) rather than overflowed.
struct Reply {
    char text[REPLY_MAX];
    size_t length;
};

extern Reply reply;

void reply_clear();
void reply_add(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Texts go into replies with '%', '|' and control characters as %XX, so that every reply stays
// one line and '|' can separate list items.
void reply_add_escaped(const char* utf8);
void reply_add_escaped(const wchar_t* text);
void reply_error(const char* reason);

// ---- arguments ----

// The next space-separated word of `*rest`, advancing it; false when there is none.
bool next_word(const char** rest, char* out, size_t size);
// What is left of the line after one separating space, percent-decoded.
void rest_text(const char* rest, char* out, size_t size);
bool parse_number(const char* word, long long* out);
bool next_number(const char** rest, long long* out);
bool next_window(const char** rest, HWND* out);
// A control by id, or the window itself for "-".
bool next_control(const char** rest, HWND window, HWND* out);
unsigned long long handle_value(HWND window);
