#pragma once
// A function of a system library that not every Windows has, looked up when it is needed: the
// program imports only what Windows XP SP3 already had, so that it starts there, and uses what is
// newer where it exists.
#include <windows.h>

// The function, or nullptr when this Windows has none. module: a library the process has loaded
// (user32.dll, kernel32.dll).
template <typename Function> Function system_function(const wchar_t* module, const char* name)
{
    const HMODULE library = GetModuleHandleW(module);
    if (library == nullptr) {
        return nullptr;
    }
    // Through the generic function type, which every function pointer converts to and from.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}
