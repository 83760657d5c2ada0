#include "ui/tray.h"

#include <initializer_list>

#include <shellapi.h>

#include "res/resource.h"

namespace {

// The program has this one icon.
constexpr UINT TRAY_ICON_ID = 1;
// The version-1 tooltip: 63 characters and the terminator.
constexpr size_t V1_TIP_SIZE = 64;

HICON playing_icon = nullptr;
HICON idle_icon = nullptr;

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

HICON load_small_icon(HINSTANCE module, int resource)
{
    const HICON icon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(resource), IMAGE_ICON,
        GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    return icon != nullptr ? icon : LoadIconW(module, MAKEINTRESOURCEW(resource));
}

}  // namespace

void load_tray_icons(HINSTANCE module)
{
    release_tray_icons();
    playing_icon = load_small_icon(module, IDI_PLAYING);
    idle_icon = load_small_icon(module, IDI_IDLE);
}

void release_tray_icons()
{
    for (HICON* icon : {&playing_icon, &idle_icon}) {
        if (*icon != nullptr) {
            DestroyIcon(*icon);
            *icon = nullptr;
        }
    }
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

void tray_update(HWND window, const char* text, HICON icon)
{
    NOTIFYICONDATAW record = make_record(window);
    if (text != nullptr) {
        set_tip(&record, text);
    }
    if (icon != nullptr) {
        record.uFlags |= NIF_ICON;
        record.hIcon = icon;
    }
    Shell_NotifyIconW(NIM_MODIFY, &record);
}

void tray_remove(HWND window)
{
    NOTIFYICONDATAW record = make_record(window);
    Shell_NotifyIconW(NIM_DELETE, &record);
}
