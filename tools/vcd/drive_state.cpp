#include "tools/vcd/drive_state.h"

CRITICAL_SECTION drive_lock;
Drive drive;
Instance instances[MAX_INSTANCES];

uint64_t now_ms()
{
    return GetTickCount64();
}

Instance* instance_of(DWORD_PTR id)
{
    if (id == 0 || id > static_cast<DWORD_PTR>(MAX_INSTANCES)) {
        return nullptr;
    }
    Instance* self = &instances[id - 1];
    return self->used ? self : nullptr;
}

bool any_other_open(const Instance* self)
{
    for (const Instance& i : instances) {
        if (&i != self && i.used && i.open) {
            return true;
        }
    }
    return false;
}
