#pragma once
// Windows of other processes: finding them and reading their texts.
#include <windows.h>

#include <cstddef>

constexpr int MAX_FOUND = 64;

struct FindRequest {
    const wchar_t* class_name;  // null for any
    const wchar_t* title;  // null for any
    HWND found[MAX_FOUND];
    int count;
    bool visible_only;
};

// A window's text through WM_GETTEXT, which reaches controls of other processes too.
bool window_text(HWND window, wchar_t* out, size_t count);
// Top-level windows by class and title ("-" for any), in z-order.
int find_windows(const char* class_name, const char* title, bool visible_only, FindRequest* request);
// The visible popup menu window (class "#32768"), or null.
HWND open_menu();
