#include "tools/desktop/menu_reader.h"

#include <cstring>
#include <cwchar>

#include "tools/desktop/desktop.h"

namespace {

HMODULE hook_module = nullptr;
HOOKPROC hook_procedure = nullptr;

// The snapshot the hook sent during the current read_menu; `arrived` tells it from a stale one.
MenuSnapshot received;
bool arrived = false;

// menu_hook.dll beside desktop.exe, loaded here once so that its module handle and procedure can
// be named to SetWindowsHookExW; the system loads it into the menu's program by its path.
bool load_hook(const char** error)
{
    if (hook_procedure != nullptr) {
        return true;
    }
    // Wide: the build tree may lie in a folder whose name the ANSI code page cannot spell.
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    wchar_t* slash = length > 0 && length < MAX_PATH ? std::wcsrchr(path, L'\\') : nullptr;
    const size_t name_length = sizeof MENU_HOOK_DLL / sizeof MENU_HOOK_DLL[0];
    if (slash == nullptr || size_t(slash + 1 - path) + name_length > MAX_PATH) {
        *error = "cannot find menu_hook.dll";
        return false;
    }
    std::memcpy(slash + 1, MENU_HOOK_DLL, sizeof MENU_HOOK_DLL);
    hook_module = LoadLibraryW(path);
    if (hook_module == nullptr) {
        *error = "cannot load menu_hook.dll";
        return false;
    }
    hook_procedure =
        reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(hook_module, MENU_HOOK_PROCEDURE)));
    if (hook_procedure == nullptr) {
        *error = "menu_hook.dll has no hook procedure";
        return false;
    }
    return true;
}

}  // namespace

bool read_menu(HWND menu_window, MenuSnapshot* out, const char** error)
{
    static const UINT snapshot_message = RegisterWindowMessageW(MENU_SNAPSHOT_MESSAGE);
    if (!load_hook(error)) {
        return false;
    }
    const DWORD thread = GetWindowThreadProcessId(menu_window, nullptr);
    if (thread == 0) {
        *error = "menu gone";
        return false;
    }
    HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, hook_procedure, hook_module, thread);
    if (hook == nullptr) {
        *error = "cannot hook the menu's thread";
        return false;
    }
    arrived = false;
    DWORD_PTR result = 0;
    SendMessageTimeoutW(menu_window, snapshot_message, reinterpret_cast<WPARAM>(tray_window), 0, SMTO_ABORTIFHUNG,
        SEND_TIMEOUT_MS, &result);
    UnhookWindowsHookEx(hook);
    if (!arrived) {
        *error = "the menu's thread did not answer";
        return false;
    }
    if (received.count < 0) {
        *error = "no menu in the menu window";
        return false;
    }
    std::memcpy(out, &received, sizeof received);
    return true;
}

bool take_menu_snapshot(const COPYDATASTRUCT* data)
{
    if (data == nullptr || data->dwData != MENU_SNAPSHOT_TAG) {
        return false;
    }
    if (data->cbData == sizeof received && data->lpData != nullptr) {
        std::memcpy(&received, data->lpData, sizeof received);
        for (MenuSnapshotItem& item : received.items) {
            item.label[MENU_LABEL_CHARS - 1] = L'\0';
        }
        arrived = true;
    }
    return true;
}
