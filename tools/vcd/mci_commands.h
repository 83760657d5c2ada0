#pragma once
// The MCI commands a CD audio driver answers, on the drive of drive_state.h.
#include <windows.h>

// One MCI command for the device with driver id `id`: takes drive_lock itself, and for a play sent
// with MCI_WAIT returns only once the play is over.
LRESULT mci_command(DWORD_PTR id, UINT command, DWORD flags, DWORD_PTR parms);
