#pragma once
// The one setting, the control server's TCP port, kept in the .ini file beside the executable.
#include "app/settings_path.h"

// Empty when the executable's path is too long for one; the settings then stay at their defaults.
extern wchar_t ini_path[SETTINGS_PATH_SIZE];
// The control server's port. Main thread only.
extern int port;

void locate_settings();
int read_port();
// False when the file could not be written (a read-only folder or file) or there is none.
bool write_port(int new_port);
