#include "app/settings_path.h"

#include <cstring>

namespace {

bool append(char* out, size_t out_size, size_t* length, const char* text, size_t count)
{
    if (*length + count >= out_size) {
        return false;
    }
    std::memcpy(out + *length, text, count);
    *length += count;
    out[*length] = '\0';
    return true;
}

}  // namespace

bool make_settings_path(const char* exe_path, lead_byte_test is_lead_byte, char* out, size_t out_size)
{
    if (out_size == 0) {
        return false;
    }
    out[0] = '\0';
    const size_t total = std::strlen(exe_path);

    size_t drive_end = 0;
    if (total >= 2 && exe_path[1] == ':' && !is_lead_byte(static_cast<unsigned char>(exe_path[0]))) {
        drive_end = 2;
    }

    // One walk over the rest, character by character, for the last dot of the file name: a
    // separator forgets the dots of the directory names before it.
    size_t last_dot = total;  // none
    for (size_t i = drive_end; i < total;) {
        const unsigned char c = static_cast<unsigned char>(exe_path[i]);
        if (is_lead_byte(c) && i + 1 < total) {
            i += 2;
            continue;
        }
        if (c == '\\' || c == '/') {
            last_dot = total;
        } else if (c == '.') {
            last_dot = i;
        }
        ++i;
    }
    // Drive, directory and base name stay as they are; the directory keeps its own separator.
    size_t length = 0;
    const bool ok = append(out, out_size, &length, exe_path, last_dot) && append(out, out_size, &length, ".ini", 4);
    if (!ok) {
        out[0] = '\0';
    }
    return ok;
}
