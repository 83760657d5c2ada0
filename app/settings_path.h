#pragma once
// Where the settings file lives: beside the executable, named after it, extension ".ini".
// Platform-free; for 8-bit paths the caller supplies the ANSI code page's lead-byte test.
#include <cstddef>

constexpr size_t SETTINGS_PATH_SIZE = 260;  // at most 259 characters and the terminating NUL

using lead_byte_test = bool (*)(unsigned char byte);

// Splits exe_path into drive, directory, base name and extension (a lead byte always takes the
// next byte with it, so the second byte of a double-byte character is never a separator or a
// dot) and joins drive, directory, base name and ".ini" into out. Returns false, leaving out
// empty, when the result would not fit in out_size bytes with its NUL.
bool make_settings_path(const char* exe_path, lead_byte_test is_lead_byte, char* out, size_t out_size);

// The same for a wide (UTF-16) path, which names any folder whatever the system's code page.
// SETTINGS_PATH_SIZE counts wide characters here.
bool make_settings_path(const wchar_t* exe_path, wchar_t* out, size_t out_size);
