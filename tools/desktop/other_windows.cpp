#include "tools/desktop/other_windows.h"

#include <cstring>

#include "tools/desktop/desktop.h"

namespace {

constexpr wchar_t MENU_CLASS[] = L"#32768";

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
    if (request->count < MAX_FOUND) {
        request->found[request->count++] = window;
    }
    return TRUE;
}

}  // namespace

bool window_text(HWND window, wchar_t* out, size_t count)
{
    DWORD_PTR length = 0;
    out[0] = L'\0';
    if (!SendMessageTimeoutW(
            window, WM_GETTEXT, count, reinterpret_cast<LPARAM>(out), SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &length)) {
        return false;
    }
    out[length < count ? length : count - 1] = L'\0';
    return true;
}

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
