#include "ui/tray.h"

#include <mmsystem.h>
#include <shellapi.h>

#include "common/commands.h"
#include "common/messages.h"
#include "app/shell.h"
#include "common/text.h"
#include "player/status_text.h"
#include "res/resource.h"

namespace {

// The program has this one icon.
constexpr UINT TRAY_ICON_ID = 1;

// The version-1 record, as every shell understands it; fields whose flag is not set stay empty.
NOTIFYICONDATAA make_record(HWND window)
{
    NOTIFYICONDATAA record = {};
    record.cbSize = NOTIFYICONDATAA_V1_SIZE;
    record.hWnd = window;
    record.uID = TRAY_ICON_ID;
    return record;
}

void set_tip(NOTIFYICONDATAA* record, const char* text)
{
    record->uFlags |= NIF_TIP;
    // The version-1 tooltip holds 63 characters and its terminator.
    constexpr size_t V1_TIP_SIZE = 64;
    copy_bounded(record->szTip, V1_TIP_SIZE, text);
}

}  // namespace

HICON load_icon(int resource)
{
    return LoadIconA(instance, MAKEINTRESOURCEA(resource));
}

void tray_add(HWND window, const char* text, UINT callback_message, HICON icon)
{
    NOTIFYICONDATAA record = make_record(window);
    record.uFlags = NIF_MESSAGE | NIF_ICON;
    record.uCallbackMessage = callback_message;
    record.hIcon = icon;
    set_tip(&record, text);
    Shell_NotifyIconA(NIM_ADD, &record);
}

void tray_update(HWND window, const char* text, HICON icon)
{
    NOTIFYICONDATAA record = make_record(window);
    if (text != nullptr) {
        set_tip(&record, text);
    }
    if (icon != nullptr) {
        record.uFlags |= NIF_ICON;
        record.hIcon = icon;
    }
    Shell_NotifyIconA(NIM_MODIFY, &record);
}

void tray_remove(HWND window)
{
    NOTIFYICONDATAA record = make_record(window);
    Shell_NotifyIconA(NIM_DELETE, &record);
}

void announce_tray(HWND window)
{
    const DWORD mode = status_text_brief();
    tray_add(window, status_text, WM_TRAY_NOTIFY, load_icon(mode == MCI_MODE_PLAY ? IDI_PLAYING : IDI_IDLE));
}
