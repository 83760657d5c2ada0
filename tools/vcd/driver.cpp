// The virtual CD drive: an MCI driver that MCI loads for the "CDAudio" device, answering the
// same commands a CD audio driver answers, with a disc, a door and a clock of its own.
//
// This file holds the entry points, DllMain and DriverProc; drive_state.h tells which thread
// touches what.
#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>

#include "tools/vcd/clock_thread.h"
#include "tools/vcd/drive_clock.h"
#include "tools/vcd/drive_settings.h"
#include "tools/vcd/drive_state.h"
#include "tools/vcd/mci_commands.h"

namespace {

// DRV_OPEN without parameters opens the driver for configuration only; any non-zero id will do.
constexpr LRESULT CONFIGURATION_INSTANCE = 0xFFFFFFFF;

LRESULT on_driver_open(const MCI_OPEN_DRIVER_PARMS* p)
{
    if (p == nullptr) {
        return CONFIGURATION_INSTANCE;
    }
    EnterCriticalSection(&drive_lock);
    bool first = true;
    int free_slot = -1;
    for (int i = 0; i < MAX_INSTANCES; ++i) {
        if (instances[i].used) {
            first = false;
        } else if (free_slot < 0) {
            free_slot = i;
        }
    }
    LRESULT id = 0;
    if (free_slot >= 0) {
        if (first) {
            reset_drive(now_ms());
        }
        instances[free_slot] = Instance{true, false, false, p->wDeviceID, TimeUnit::msf};
        id = free_slot + 1;
    }
    LeaveCriticalSection(&drive_lock);
    return id;
}

LRESULT on_driver_close(DWORD_PTR id)
{
    ClockThread clock{};
    EnterCriticalSection(&drive_lock);
    Instance* self = instance_of(id);
    if (self != nullptr) {
        if (self->open) {
            // Closed without MCI_CLOSE_DRIVER (the program ended): let go of it all the same.
            self->open = false;
            if (!any_other_open(self)) {
                halt(now_ms(), MCI_NOTIFY_ABORTED);
                flush_notes();
            }
        }
        *self = Instance{};
        bool any_used = false;
        for (const Instance& i : instances) {
            any_used = any_used || i.used;
        }
        if (!any_used) {
            clock = detach_clock();
        }
    }
    LeaveCriticalSection(&drive_lock);
    join_clock(clock);
    return 1;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        InitializeCriticalSection(&drive_lock);
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        DeleteCriticalSection(&drive_lock);
    }
    return TRUE;
}

extern "C" LRESULT CALLBACK DriverProc(DWORD_PTR id, HDRVR driver, UINT message, LPARAM param1, LPARAM param2)
{
    switch (message) {
    case DRV_LOAD:
    case DRV_FREE:
    case DRV_ENABLE:
    case DRV_DISABLE:
        return 1;
    case DRV_OPEN: {
        MCI_OPEN_DRIVER_PARMS* p = reinterpret_cast<MCI_OPEN_DRIVER_PARMS*>(param2);
        if (p != nullptr) {
            p->wType = MCI_DEVTYPE_CD_AUDIO;  // use MCI's own cdaudio command table for string commands
            p->wCustomCommandTable = MCI_NO_COMMAND_TABLE;
        }
        return on_driver_open(p);
    }
    case DRV_CLOSE:
        return on_driver_close(id);
    case DRV_QUERYCONFIGURE:
        return 0;
    case DRV_INSTALL:
    case DRV_REMOVE:
        return DRVCNF_OK;
    default:
        break;
    }
    if (message < DRV_MCI_FIRST || message > DRV_MCI_LAST) {
        return DefDriverProc(id, driver, message, param1, param2);
    }
    return mci_command(id, message, static_cast<DWORD>(param1), static_cast<DWORD_PTR>(param2));
}
