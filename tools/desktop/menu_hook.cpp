// menu_hook.dll: loaded by the system into the program whose popup menu the desktop reads (see
// menu_snapshot.h). It does nothing but answer the desktop's one message; every other message
// passes through untouched. menu_hook.def exports the procedure by its plain name.
#include <windows.h>

#include <cstring>

#include "tools/desktop/menu_snapshot.h"

namespace {

// Large for a stack: the hook runs on the program's thread, whose stack is not ours to spend.
MenuSnapshot snapshot;

void snapshot_menu(HWND menu_window, HMENU menu)
{
    std::memset(&snapshot, 0, sizeof snapshot);
    const int count = menu != nullptr ? GetMenuItemCount(menu) : -1;
    snapshot.count = count;
    for (int i = 0; i < count && i < MENU_SNAPSHOT_ITEMS; i++) {
        MenuSnapshotItem& item = snapshot.items[i];
        MENUITEMINFOW info;
        std::memset(&info, 0, sizeof info);
        info.cbSize = sizeof info;
        // A separator has no text: its label stays empty.
        info.fMask = MIIM_STRING;
        info.dwTypeData = item.label;
        info.cch = MENU_LABEL_CHARS;
        GetMenuItemInfoW(menu, UINT(i), TRUE, &info);
        item.label[MENU_LABEL_CHARS - 1] = L'\0';
        RECT rect{};
        if (GetMenuItemRect(menu_window, menu, UINT(i), &rect)) {
            item.left = rect.left;
            item.top = rect.top;
            item.right = rect.right;
            item.bottom = rect.bottom;
        }
    }
}

}  // namespace

extern "C" LRESULT CALLBACK menu_hook_procedure(int code, WPARAM wparam, LPARAM lparam)
{
    static const UINT snapshot_message = RegisterWindowMessageW(MENU_SNAPSHOT_MESSAGE);
    const CWPSTRUCT* call = reinterpret_cast<const CWPSTRUCT*>(lparam);
    if (code == HC_ACTION && call != nullptr && snapshot_message != 0 && call->message == snapshot_message) {
        const HWND desktop = reinterpret_cast<HWND>(call->wParam);
        const HMENU menu = reinterpret_cast<HMENU>(SendMessageW(call->hwnd, MN_GETHMENU, 0, 0));
        snapshot_menu(call->hwnd, menu);
        COPYDATASTRUCT data;
        data.dwData = MENU_SNAPSHOT_TAG;
        data.cbData = sizeof snapshot;
        data.lpData = &snapshot;
        DWORD_PTR result = 0;
        SendMessageTimeoutW(desktop, WM_COPYDATA, reinterpret_cast<WPARAM>(call->hwnd), reinterpret_cast<LPARAM>(&data),
            SMTO_ABORTIFHUNG, MENU_SNAPSHOT_TIMEOUT_MS, &result);
    }
    return CallNextHookEx(nullptr, code, wparam, lparam);
}
