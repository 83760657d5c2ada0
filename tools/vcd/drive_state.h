#pragma once
// The virtual drive's state: the drive itself (its disc, door and motion) and the MCI devices
// opened on it, shared by the driver's files.
//
// Threads: MCI calls DriverProc on whatever thread the program sends its command from; the
// clock thread ends plays on time and notices changes of disc.ini. Everything below lives in
// process-wide state guarded by drive_lock; no function here blocks while holding it, and every
// function declared here expects the caller to hold it.
#include <windows.h>
#include <mmsystem.h>

#include <cstdint>

#include "tools/vcd/disc.h"
#include "tools/vcd/disc_ini.h"

constexpr int MAX_INSTANCES = 16;

enum class Motion { idle, playing, paused };

// One per MCI device opened on the driver: each has its own device id and time format, while
// the drive itself, its disc and its door, is shared by all of them as a real drive is.
struct Instance {
    bool used;
    bool open;  // MCI_OPEN_DRIVER succeeded and no MCI_CLOSE_DRIVER yet
    bool shareable;
    MCIDEVICEID device;
    TimeUnit unit;
};

// The notification a play asked for; MCI keeps at most one pending per device, one per drive here.
struct PendingNotify {
    bool active;
    HANDLE callback;
    MCIDEVICEID device;
};

struct Drive {
    bool drive_present;
    Disc disc;
    bool disc_present;
    bool door_open;
    Motion motion;
    // While playing, the frame at base_tick (a play starts moving at base_tick, which start_ms
    // puts in the future); otherwise the current frame.
    uint32_t position;
    uint64_t base_tick;
    uint32_t play_end;
    uint32_t play_serial;  // tells a caller waiting on its play (MCI_WAIT) that a newer one replaced it
    uint32_t speed;
    int fail_plays;
    bool fail_all_plays;
    bool stop_after_pause;
    bool notify_end;
    bool short_last_track;
    uint32_t load_ms;
    LoadKind load_kind;
    uint32_t start_ms;
    bool closed_since_open;  // the door has closed since the drive was opened: it loads the disc
    uint64_t closed_tick;  // when it last closed; loading lasts load_ms from then, as load_ms says now
    bool file_door_open;  // the door= value last read, so that only a change of it moves the door
    PendingNotify pending;
};

// Initialised and deleted by DllMain (driver.cpp).
extern CRITICAL_SECTION drive_lock;
extern Drive drive;
extern Instance instances[MAX_INSTANCES];

uint64_t now_ms();

// The open device with this driver id (1 to MAX_INSTANCES), or null.
Instance* instance_of(DWORD_PTR id);
bool any_other_open(const Instance* self);
