#pragma once
// disc.ini as a file: where it is, and whether it has changed since it was last read. Reading
// it hands back the settings it holds; applying them to the drive is the caller's business.
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "tools/vcd/disc_ini.h"

struct SettingsFile {
    char path[MAX_PATH];  // empty: there is no file to read
    bool seen;
    FILETIME time;
    DWORD size;
    uint32_t hash;
};

// VCD_DIR as a Windows path, or empty when it is not set.
void read_directory(char* out, size_t size);

// Forgets what was read and points at directory\disc.ini (nowhere for an empty directory).
void open_settings_file(SettingsFile* file, const char* directory);

// Reads the file when first is set or when its time, size or bytes differ from the last read,
// and fills *settings from it. False when there is nothing new to apply: no file (yet, or being
// replaced), the same file, or one caught between truncation and writing.
bool read_settings_file(SettingsFile* file, bool first, DiscSettings* settings);

// FNV-1a: tells one file's bytes, or one disc's table of contents, from another.
uint32_t hash_bytes(const char* bytes, DWORD size);
