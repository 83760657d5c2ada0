#pragma once
// The drive's settings: VCD_DIR's disc.ini read into the drive's state, at the first open and
// whenever the file changes. Called with drive_lock held (drive_state.h).
#include <cstdint>

// The drive as it is when a program first opens it: settings from VCD_DIR's disc.ini, or the
// defaults when there is none.
void reset_drive(uint64_t now);

// Re-reads disc.ini when it has changed and applies it to the drive; first applies it whatever
// it says, as the state of a freshly opened drive. True when it applied the file.
bool refresh_settings(bool first, uint64_t now);
