#include "tools/desktop/commands.h"

#include <psapi.h>
#include <sddl.h>

#include <cstring>

#include "tools/desktop/desktop.h"
#include "tools/desktop/other_windows.h"
#include "tools/desktop/process_counts.h"

namespace {

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

}  // namespace

void cmd_find(Args& args)
{
    find_command(args, false);
}

// Visible ones only: a dialog shows itself once its controls are made and initialised.
void cmd_find_visible(Args& args)
{
    find_command(args, true);
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
    // The owner and the extended style tell whether a message box can be seen: one owned by a
    // hidden window, or not topmost, may stay behind the others.
    const HWND owner = GetWindow(args.window, GW_OWNER);
    reply_add("ok visible=%d enabled=%d pid=%lu tid=%lu rect=%ld,%ld,%ld,%ld exstyle=0x%08lx owner=0x%llx class=",
        IsWindowVisible(args.window) ? 1 : 0, IsWindowEnabled(args.window) ? 1 : 0, pid, tid, rect.left, rect.top,
        rect.right, rect.bottom, static_cast<unsigned long>(GetWindowLongW(args.window, GWL_EXSTYLE)),
        handle_value(owner));
    reply_add_escaped(class_name);
    reply_add(" title=");
    reply_add_escaped(title);
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

namespace {

// A message and its two parameters, as numbers; false (after the usage) when one is missing.
bool message_arguments(Args& args, long long* message, long long* wparam, long long* lparam)
{
    if (!next_number(&args.rest, message) || !next_number(&args.rest, wparam) || !next_number(&args.rest, lparam)) {
        reply_error(args.usage);
        return false;
    }
    return true;
}

}  // namespace

void cmd_post(Args& args)
{
    long long message = 0;
    long long wparam = 0;
    long long lparam = 0;
    if (!message_arguments(args, &message, &wparam, &lparam)) {
        return;
    }
    if (!PostMessageW(args.window, UINT(message), WPARAM(wparam), LPARAM(lparam))) {
        reply_error("post failed");
        return;
    }
    reply_add("ok");
}

// Sent, as the system sends the session's end: the answer is what the window procedure returned.
// Waits at most 10 s, so a window that does not answer cannot hold the desktop up.
void cmd_send(Args& args)
{
    long long message = 0;
    long long wparam = 0;
    long long lparam = 0;
    if (!message_arguments(args, &message, &wparam, &lparam)) {
        return;
    }
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(args.window, UINT(message), WPARAM(wparam), LPARAM(lparam), SMTO_NORMAL, 10000, &result)) {
        reply_error("send failed or timed out");
        return;
    }
    reply_add("ok %lld", static_cast<long long>(result));
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
    reply_add(
        "ok threads=%ld handles=%ld private=%lld", count_threads(DWORD(pid)), count_handles(DWORD(pid)), private_bytes);
}

// A named mutex that no other program may open, held until the desktop ends: what the mutex of a
// program that runs elevated, or as another user, is to a normal program. Its DACL grants
// everyone SYNCHRONIZE and nothing more, and a program's CreateMutex asks for all access. The
// name is the rest of the line, as typed.
void cmd_hold_mutex(Args& args)
{
    char utf8[256];
    wchar_t name[256];
    rest_text(args.rest, utf8, sizeof utf8);
    if (utf8[0] == '\0') {
        reply_error(args.usage);
        return;
    }
    utf8_to_utf16(utf8, name, 256);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:(A;;0x00100000;;;WD)", SDDL_REVISION_1, &descriptor, nullptr)) {
        reply_error("cannot make the security descriptor");
        return;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    // Kept open, on purpose, for as long as the desktop runs.
    const HANDLE mutex = CreateMutexExW(&attributes, name, 0, SYNCHRONIZE);
    const DWORD made = GetLastError();
    LocalFree(descriptor);
    if (mutex == nullptr || made == ERROR_ALREADY_EXISTS) {
        reply_error(mutex == nullptr ? "cannot make the mutex" : "the mutex exists already");
        return;
    }
    reply_add("ok");
}
