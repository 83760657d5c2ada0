#include "ui/tray.h"

#include <initializer_list>

#include <shellapi.h>

#include "res/resource.h"
#include "ui/system_function.h"

namespace {

// The program has this one icon.
constexpr UINT TRAY_ICON_ID = 1;
// The version-1 tooltip: 63 characters and the terminator.
constexpr size_t V1_TIP_SIZE = 64;

HICON playing_icon = nullptr;
HICON idle_icon = nullptr;
// The size both pictures were loaded at (0: none loaded).
int icon_size = 0;

// The version-1 record, as every shell understands it; fields whose flag is not set stay empty.
NOTIFYICONDATAW make_record(HWND window)
{
    NOTIFYICONDATAW record = {};
    record.cbSize = NOTIFYICONDATAW_V1_SIZE;
    record.hWnd = window;
    record.uID = TRAY_ICON_ID;
    return record;
}

// The status texts are ASCII: each byte is its own character.
void set_tip(NOTIFYICONDATAW* record, const char* text)
{
    record->uFlags |= NIF_TIP;
    size_t i = 0;
    for (; i + 1 < V1_TIP_SIZE && text[i] != '\0'; ++i) {
        record->szTip[i] = static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
    }
    record->szTip[i] = L'\0';
}

// The notification area's picture size: the small icon size at the scale of the monitor the
// window is on. GetSystemMetrics keeps the values of the start in a DPI-aware program, so the
// scale is asked for where this Windows can answer (Windows 10 1607 and later).
int small_icon_size(HWND window)
{
    using MetricsForDpi = int(WINAPI*)(int, UINT);
    using DpiForWindow = UINT(WINAPI*)(HWND);
    using DpiForSystem = UINT(WINAPI*)();
    const auto metrics_for_dpi = system_function<MetricsForDpi>(L"user32.dll", "GetSystemMetricsForDpi");
    const auto dpi_for_window = system_function<DpiForWindow>(L"user32.dll", "GetDpiForWindow");
    const auto dpi_for_system = system_function<DpiForSystem>(L"user32.dll", "GetDpiForSystem");
    UINT dpi = 0;
    if (dpi_for_window != nullptr && window != nullptr) {
        dpi = dpi_for_window(window);
    }
    if (dpi == 0 && dpi_for_system != nullptr) {
        dpi = dpi_for_system();
    }
    if (metrics_for_dpi != nullptr && dpi != 0) {
        return metrics_for_dpi(SM_CXSMICON, dpi);
    }
    return GetSystemMetrics(SM_CXSMICON);
}

HICON load_small_icon(HINSTANCE module, int resource, int size)
{
    const HICON icon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(resource), IMAGE_ICON, size, size, 0));
    return icon != nullptr ? icon : LoadIconW(module, MAKEINTRESOURCEW(resource));
}

}  // namespace

bool load_tray_icons(HINSTANCE module, HWND window)
{
    const int size = small_icon_size(window);
    if (size == icon_size && playing_icon != nullptr && idle_icon != nullptr) {
        return false;
    }
    release_tray_icons();
    playing_icon = load_small_icon(module, IDI_PLAYING, size);
    idle_icon = load_small_icon(module, IDI_IDLE, size);
    icon_size = size;
    return true;
}

void release_tray_icons()
{
    for (HICON* icon : {&playing_icon, &idle_icon}) {
        if (*icon != nullptr) {
            DestroyIcon(*icon);
            *icon = nullptr;
        }
    }
    icon_size = 0;
}

HICON tray_icon(int resource)
{
    return resource == IDI_PLAYING ? playing_icon : idle_icon;
}

bool tray_add(HWND window, const char* text, UINT callback_message, HICON icon)
{
    NOTIFYICONDATAW record = make_record(window);
    record.uFlags = NIF_MESSAGE | NIF_ICON;
    record.uCallbackMessage = callback_message;
    record.hIcon = icon;
    set_tip(&record, text);
    // A shell that has the icon already refuses to add it again: then it is there.
    return Shell_NotifyIconW(NIM_ADD, &record) || Shell_NotifyIconW(NIM_MODIFY, &record);
}

bool tray_update(HWND window, const char* text, HICON icon)
{
    NOTIFYICONDATAW record = make_record(window);
    if (text != nullptr) {
        set_tip(&record, text);
    }
    if (icon != nullptr) {
        record.uFlags |= NIF_ICON;
        record.hIcon = icon;
    }
    return Shell_NotifyIconW(NIM_MODIFY, &record) != FALSE;
}

void tray_remove(HWND window)
{
    NOTIFYICONDATAW record = make_record(window);
    Shell_NotifyIconW(NIM_DELETE, &record);
}
