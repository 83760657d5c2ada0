#include "app/settings.h"

#include <windows.h>

#include <cstdio>

#include "common/commands.h"
#include "common/text.h"

int port = DEFAULT_PORT;
wchar_t ini_path[SETTINGS_PATH_SIZE] = L"";

namespace {

// Wide names throughout: the 8-bit functions would turn a folder name that the system's code page
// cannot write (Japanese on an English Windows) into '?', and name a file that does not exist.
constexpr wchar_t SECTION[] = L"qel";
constexpr wchar_t KEY[] = L"port";
constexpr size_t VALUE_SIZE = 1000;
constexpr size_t NUMBER_SIZE = 16;

// A number as decimal text, wide.
void format_number(int number, wchar_t* out)
{
    char ascii[NUMBER_SIZE];
    std::snprintf(ascii, sizeof ascii, "%d", number);
    size_t i = 0;
    for (; ascii[i] != '\0'; ++i) {
        out[i] = static_cast<wchar_t>(ascii[i]);
    }
    out[i] = L'\0';
}

}  // namespace

void locate_settings()
{
    wchar_t module_path[MAX_PATH] = L"";
    const DWORD length = GetModuleFileNameW(nullptr, module_path, MAX_PATH);
    // A path cut to the buffer is no path to trust.
    if (length == 0 || length >= MAX_PATH) {
        ini_path[0] = L'\0';
        return;
    }
    make_settings_path(module_path, ini_path, SETTINGS_PATH_SIZE);
}

int read_port()
{
    if (ini_path[0] == L'\0') {
        return DEFAULT_PORT;
    }
    wchar_t default_text[NUMBER_SIZE];
    format_number(DEFAULT_PORT, default_text);
    wchar_t value[VALUE_SIZE] = L"";
    GetPrivateProfileStringW(SECTION, KEY, default_text, value, VALUE_SIZE, ini_path);
    // The value is decimal digits, if anything the program can use: its ASCII form is enough.
    char ascii[VALUE_SIZE];
    size_t i = 0;
    for (; i + 1 < VALUE_SIZE && value[i] != L'\0'; ++i) {
        ascii[i] = value[i] < 0x80 ? static_cast<char>(value[i]) : '?';
    }
    ascii[i] = '\0';
    return parse_decimal(ascii);
}

bool write_port(int new_port)
{
    if (ini_path[0] == L'\0') {
        return false;
    }
    // A file that does not exist yet is made in the system's code page, as the 8-bit functions
    // made it: the value is ASCII, so any version of the program reads it.
    wchar_t value[NUMBER_SIZE];
    format_number(new_port, value);
    return WritePrivateProfileStringW(SECTION, KEY, value, ini_path) != FALSE;
}
