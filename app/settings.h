#pragma once
// The one setting, the control server's TCP port, kept in the .ini file beside the executable.
#include "app/settings_path.h"
#include "app/shell.h"

// Empty when the executable's path is too long for one; the settings then stay at their defaults.
extern char ini_path[SETTINGS_PATH_SIZE];

void locate_settings();
int read_port();
