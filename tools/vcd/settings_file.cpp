#include "tools/vcd/settings_file.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr size_t MAX_INI_BYTES = 8192;
constexpr const char* DIRECTORY_VARIABLE = "VCD_DIR";
constexpr const char* INI_FILE_NAME = "disc.ini";

}  // namespace

uint32_t hash_bytes(const char* bytes, DWORD size)
{
    constexpr uint32_t FNV_OFFSET = 2166136261u;
    constexpr uint32_t FNV_PRIME = 16777619u;
    uint32_t h = FNV_OFFSET;
    for (DWORD i = 0; i < size; ++i) {
        h = (h ^ static_cast<unsigned char>(bytes[i])) * FNV_PRIME;
    }
    return h;
}

// VCD_DIR as a Windows path; a Unix absolute path (Wine passes the Unix environment through)
// is reached through drive Z:.
void read_directory(char* out, size_t size)
{
    char value[MAX_PATH];
    const DWORD n = GetEnvironmentVariableA(DIRECTORY_VARIABLE, value, sizeof value);
    out[0] = '\0';
    if (n == 0 || n >= sizeof value) {
        return;
    }
    if (value[0] == '/') {
        std::snprintf(out, size, "Z:%s", value);
        for (char* p = out; *p != '\0'; ++p) {
            if (*p == '/') {
                *p = '\\';
            }
        }
        return;
    }
    std::snprintf(out, size, "%s", value);
}

void open_settings_file(SettingsFile* file, const char* directory)
{
    *file = SettingsFile{};
    if (directory[0] == '\0') {
        return;
    }
    const size_t n = std::strlen(directory);
    const bool has_separator = directory[n - 1] == '\\';
    const int written =
        std::snprintf(file->path, sizeof file->path, "%s%s%s", directory, has_separator ? "" : "\\", INI_FILE_NAME);
    if (written < 0 || static_cast<size_t>(written) >= sizeof file->path) {
        file->path[0] = '\0';
    }
}

bool read_settings_file(SettingsFile* file, bool first, DiscSettings* settings)
{
    if (file->path[0] == '\0') {
        return false;
    }
    HANDLE handle = CreateFileA(file->path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;  // no file (yet, or being replaced): keep what was read before
    }
    FILETIME time{};
    GetFileTime(handle, nullptr, nullptr, &time);
    char bytes[MAX_INI_BYTES];
    DWORD size = 0;
    const BOOL read_ok = ReadFile(handle, bytes, sizeof bytes, &size, nullptr);
    CloseHandle(handle);
    if (!read_ok) {
        return false;
    }
    const uint32_t hash = hash_bytes(bytes, size);
    if (!first && file->seen && CompareFileTime(&time, &file->time) == 0 && size == file->size && hash == file->hash) {
        return false;
    }
    default_settings(settings);
    parse_disc_ini(bytes, size, settings);
    if (!settings->has_section) {
        return false;  // caught between truncation and writing: look again on the next tick
    }
    file->seen = true;
    file->time = time;
    file->size = size;
    file->hash = hash;
    return true;
}
