#include "app/module.h"

#include <mmsystem.h>

#include "res/resource.h"

HINSTANCE instance = nullptr;

int icon_for_mode(DWORD mode)
{
    return mode == MCI_MODE_PLAY ? IDI_PLAYING : IDI_IDLE;
}
