#pragma once
// Waiting for something that arrives as a window message: the test's own message loop.
#include <windows.h>

inline void pump()
{
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageA(&message);
    }
}

// Dispatches messages until condition() holds; false when the deadline passes first.
template <typename Condition> bool pump_until(Condition condition, DWORD timeout_ms = 20000)
{
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > timeout_ms) {
            return false;
        }
        pump();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
}
