#include "app/settings_path.h"

#include <cstring>

namespace {

template <typename Char> size_t length_of(const Char* text)
{
    size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    return length;
}

template <typename Char> bool append(Char* out, size_t out_size, size_t* length, const Char* text, size_t count)
{
    if (*length + count >= out_size) {
        return false;
    }
    std::memcpy(out + *length, text, count * sizeof(Char));
    *length += count;
    out[*length] = 0;
    return true;
}

bool no_lead_bytes(unsigned char)
{
    return false;
}

// One walk for both forms: 8-bit text in a code page that may have double-byte characters, and
// UTF-16, in which no unit of a character outside the first 128 equals a separator or a dot.
template <typename Char> bool make_path(const Char* exe_path, lead_byte_test is_lead_byte, Char* out, size_t out_size)
{
    static constexpr Char EXTENSION[] = {'.', 'i', 'n', 'i'};
    if (out_size == 0) {
        return false;
    }
    out[0] = 0;
    const size_t total = length_of(exe_path);
    const auto lead = [is_lead_byte](
                          Char c) { return sizeof(Char) == 1 && is_lead_byte(static_cast<unsigned char>(c)); };

    size_t drive_end = 0;
    if (total >= 2 && exe_path[1] == ':' && !lead(exe_path[0])) {
        drive_end = 2;
    }

    // One walk over the rest, character by character, for the last dot of the file name: a
    // separator forgets the dots of the directory names before it.
    size_t last_dot = total;  // none
    for (size_t i = drive_end; i < total;) {
        const Char c = exe_path[i];
        if (lead(c) && i + 1 < total) {
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
    const bool ok = append(out, out_size, &length, exe_path, last_dot) && append(out, out_size, &length, EXTENSION, 4);
    if (!ok) {
        out[0] = 0;
    }
    return ok;
}

}  // namespace

bool make_settings_path(const char* exe_path, lead_byte_test is_lead_byte, char* out, size_t out_size)
{
    return make_path(exe_path, is_lead_byte, out, out_size);
}

bool make_settings_path(const wchar_t* exe_path, wchar_t* out, size_t out_size)
{
    return make_path(exe_path, no_lead_bytes, out, out_size);
}
