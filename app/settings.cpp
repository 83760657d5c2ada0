#include "app/settings.h"

#include <windows.h>

#include <cstdio>

#include "common/commands.h"
#include "common/text.h"

int port = DEFAULT_PORT;
char ini_path[SETTINGS_PATH_SIZE] = "";

namespace {

constexpr char SECTION[] = "qel";
constexpr char KEY[] = "port";
constexpr size_t VALUE_SIZE = 1000;

bool is_lead_byte(unsigned char byte)
{
    return IsDBCSLeadByte(byte) != FALSE;
}

}  // namespace

void locate_settings()
{
    char module_path[MAX_PATH] = "";
    const DWORD length = GetModuleFileNameA(nullptr, module_path, sizeof module_path);
    // A path cut to the buffer is no path to trust.
    if (length == 0 || length >= sizeof module_path) {
        ini_path[0] = '\0';
        return;
    }
    make_settings_path(module_path, is_lead_byte, ini_path, sizeof ini_path);
}

int read_port()
{
    if (ini_path[0] == '\0') {
        return DEFAULT_PORT;
    }
    char default_text[16];
    std::snprintf(default_text, sizeof default_text, "%d", DEFAULT_PORT);
    char value[VALUE_SIZE] = "";
    GetPrivateProfileStringA(SECTION, KEY, default_text, value, sizeof value, ini_path);
    return parse_decimal(value);
}

bool write_port(int new_port)
{
    if (ini_path[0] == '\0') {
        return false;
    }
    char value[16];
    std::snprintf(value, sizeof value, "%d", new_port);
    return WritePrivateProfileStringA(SECTION, KEY, value, ini_path) != FALSE;
}
