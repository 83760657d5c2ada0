#pragma once
// What a leak shows in, for any process: its kernel handles and its threads. Used by the test
// desktop and by the Windows-side tests, which count their own.
#include <windows.h>
#include <tlhelp32.h>

#include <cstddef>

// Kernel handles of one process from the system's handle table: GetProcessHandleCount answers
// 0 for every process under Wine, the table is right.
constexpr ULONG SYSTEM_EXTENDED_HANDLE_INFORMATION = 64;

struct HandleEntry {
    void* object;
    ULONG_PTR process_id;
    ULONG_PTR handle_value;
    ULONG granted_access;
    USHORT creator_back_trace_index;
    USHORT object_type_index;
    ULONG attributes;
    ULONG reserved;
};

struct HandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};

using QuerySystemInformation = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);

inline long count_handles(DWORD pid)
{
    static unsigned char table[8 << 20];
    auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) {
        return -1;
    }
    ULONG needed = 0;
    LONG status = query(SYSTEM_EXTENDED_HANDLE_INFORMATION, table, sizeof table, &needed);
    if (status != 0) {
        return -1;
    }
    const HandleTable* handles = reinterpret_cast<const HandleTable*>(table);
    size_t room = (sizeof table - offsetof(HandleTable, entries)) / sizeof(HandleEntry);
    size_t count = handles->count < room ? handles->count : room;
    long owned = 0;
    for (size_t i = 0; i < count; i++) {
        owned += handles->entries[i].process_id == pid ? 1 : 0;
    }
    return owned;
}

inline long count_threads(DWORD pid)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return -1;
    }
    long threads = 0;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        threads += entry.th32OwnerProcessID == pid ? 1 : 0;
    }
    CloseHandle(snapshot);
    return threads;
}
