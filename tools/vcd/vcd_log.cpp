#include "tools/vcd/vcd_log.h"

#include <mmddk.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* LOG_FILE_NAME = "vcd.log";

// Written only at the first open of the device, read by whichever thread writes a line; both
// happen under the driver's lock.
char log_path[MAX_PATH];

struct FlagName {
    DWORD bit;
    const char* name;
};

// The bits every command shares; the command's own bits (0x100 and up) come from its table.
constexpr FlagName COMMON_FLAGS[] = {
    {MCI_NOTIFY, "MCI_NOTIFY"},
    {MCI_WAIT, "MCI_WAIT"},
    {MCI_FROM, "MCI_FROM"},
    {MCI_TO, "MCI_TO"},
    {MCI_TRACK, "MCI_TRACK"},
};

constexpr FlagName OPEN_FLAGS[] = {
    {MCI_OPEN_SHAREABLE, "MCI_OPEN_SHAREABLE"},
    {MCI_OPEN_ELEMENT, "MCI_OPEN_ELEMENT"},
    {MCI_OPEN_ALIAS, "MCI_OPEN_ALIAS"},
    {MCI_OPEN_ELEMENT_ID, "MCI_OPEN_ELEMENT_ID"},
    {MCI_OPEN_TYPE_ID, "MCI_OPEN_TYPE_ID"},
    {MCI_OPEN_TYPE, "MCI_OPEN_TYPE"},
};

constexpr FlagName STATUS_FLAGS[] = {
    {MCI_STATUS_ITEM, "MCI_STATUS_ITEM"},
    {MCI_STATUS_START, "MCI_STATUS_START"},
};

constexpr FlagName SET_FLAGS[] = {
    {MCI_SET_DOOR_OPEN, "MCI_SET_DOOR_OPEN"},
    {MCI_SET_DOOR_CLOSED, "MCI_SET_DOOR_CLOSED"},
    {MCI_SET_TIME_FORMAT, "MCI_SET_TIME_FORMAT"},
    {MCI_SET_AUDIO, "MCI_SET_AUDIO"},
    {MCI_SET_VIDEO, "MCI_SET_VIDEO"},
    {MCI_SET_ON, "MCI_SET_ON"},
    {MCI_SET_OFF, "MCI_SET_OFF"},
};

constexpr FlagName SEEK_FLAGS[] = {
    {MCI_SEEK_TO_START, "MCI_SEEK_TO_START"},
    {MCI_SEEK_TO_END, "MCI_SEEK_TO_END"},
};

constexpr FlagName GETDEVCAPS_FLAGS[] = {
    {MCI_GETDEVCAPS_ITEM, "MCI_GETDEVCAPS_ITEM"},
};

constexpr FlagName INFO_FLAGS[] = {
    {MCI_INFO_PRODUCT, "MCI_INFO_PRODUCT"},
    {MCI_INFO_MEDIA_UPC, "MCI_INFO_MEDIA_UPC"},
    {MCI_INFO_MEDIA_IDENTITY, "MCI_INFO_MEDIA_IDENTITY"},
};

struct FlagTable {
    const FlagName* names;
    size_t count;
};

template <size_t N> constexpr FlagTable table_of(const FlagName (&names)[N])
{
    return {names, N};
}

FlagTable own_flags(UINT command)
{
    switch (command) {
    case MCI_OPEN_DRIVER:
        return table_of(OPEN_FLAGS);
    case MCI_STATUS:
        return table_of(STATUS_FLAGS);
    case MCI_SET:
        return table_of(SET_FLAGS);
    case MCI_SEEK:
        return table_of(SEEK_FLAGS);
    case MCI_GETDEVCAPS:
        return table_of(GETDEVCAPS_FLAGS);
    case MCI_INFO:
        return table_of(INFO_FLAGS);
    default:
        return {nullptr, 0};
    }
}

const char* name_of_bit(UINT command, DWORD bit)
{
    for (const FlagName& f : COMMON_FLAGS) {
        if (f.bit == bit) {
            return f.name;
        }
    }
    const FlagTable table = own_flags(command);
    for (size_t i = 0; i < table.count; ++i) {
        if (table.names[i].bit == bit) {
            return table.names[i].name;
        }
    }
    return nullptr;
}

const char* error_name(DWORD error)
{
    switch (error) {
    case MCIERR_HARDWARE:
        return "MCIERR_HARDWARE";
    case MCIERR_DEVICE_NOT_READY:
        return "MCIERR_DEVICE_NOT_READY";
    case MCIERR_OUTOFRANGE:
        return "MCIERR_OUTOFRANGE";
    case MCIERR_CANNOT_LOAD_DRIVER:
        return "MCIERR_CANNOT_LOAD_DRIVER";
    case MCIERR_MISSING_PARAMETER:
        return "MCIERR_MISSING_PARAMETER";
    case MCIERR_FLAGS_NOT_COMPATIBLE:
        return "MCIERR_FLAGS_NOT_COMPATIBLE";
    case MCIERR_BAD_TIME_FORMAT:
        return "MCIERR_BAD_TIME_FORMAT";
    case MCIERR_UNSUPPORTED_FUNCTION:
        return "MCIERR_UNSUPPORTED_FUNCTION";
    case MCIERR_UNRECOGNIZED_COMMAND:
        return "MCIERR_UNRECOGNIZED_COMMAND";
    case MCIERR_NULL_PARAMETER_BLOCK:
        return "MCIERR_NULL_PARAMETER_BLOCK";
    case MCIERR_INVALID_DEVICE_ID:
        return "MCIERR_INVALID_DEVICE_ID";
    case MCIERR_PARAM_OVERFLOW:
        return "MCIERR_PARAM_OVERFLOW";
    case MCIERR_NO_IDENTITY:
        return "MCIERR_NO_IDENTITY";
    default:
        return "MCIERR_OTHER";
    }
}

}  // namespace

void log_set_directory(const char* directory)
{
    log_path[0] = '\0';
    if (directory[0] == '\0') {
        return;
    }
    const size_t length = std::strlen(directory);
    const bool has_separator = directory[length - 1] == '\\' || directory[length - 1] == '/';
    const int n =
        std::snprintf(log_path, sizeof log_path, "%s%s%s", directory, has_separator ? "" : "\\", LOG_FILE_NAME);
    if (n < 0 || static_cast<size_t>(n) >= sizeof log_path) {
        log_path[0] = '\0';
    }
}

void log_start(LogLine* line, const char* name)
{
    line->length = 0;
    line->text[0] = '\0';
    const int n = std::snprintf(line->text, sizeof line->text, "%s", name);
    if (n > 0) {
        line->length = std::min(static_cast<size_t>(n), sizeof line->text - 1);
    }
}

void log_add(LogLine* line, const char* format, ...)
{
    if (line->length + 2 >= sizeof line->text) {
        return;
    }
    line->text[line->length++] = ' ';
    line->text[line->length] = '\0';
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line->text + line->length, sizeof line->text - line->length, format, args);
    va_end(args);
    if (n > 0) {
        line->length += static_cast<size_t>(n);
        if (line->length >= sizeof line->text) {
            line->length = sizeof line->text - 1;
        }
    }
}

void log_add_flags(LogLine* line, UINT command, DWORD flags)
{
    if (flags == 0) {
        log_add(line, "flags=0");
        return;
    }
    char text[MAX_LOG_LINE];
    size_t used = 0;
    text[0] = '\0';
    for (int i = 0; i < 32; ++i) {
        const DWORD bit = DWORD{1} << i;
        if ((flags & bit) == 0) {
            continue;
        }
        const char* name = name_of_bit(command, bit);
        char unnamed[16];
        if (name == nullptr) {
            std::snprintf(unnamed, sizeof unnamed, "0x%lx", static_cast<unsigned long>(bit));
            name = unnamed;
        }
        const int n = std::snprintf(text + used, sizeof text - used, "%s%s", used == 0 ? "" : "|", name);
        if (n < 0 || static_cast<size_t>(n) >= sizeof text - used) {
            break;
        }
        used += static_cast<size_t>(n);
    }
    log_add(line, "flags=%s", text);
}

void log_add_result(LogLine* line, DWORD result)
{
    if (result == 0) {
        log_add(line, "result=0");
    } else {
        log_add(line, "result=%lu error=%s", static_cast<unsigned long>(result), error_name(result));
    }
}

void log_write(const LogLine* line)
{
    if (log_path[0] == '\0') {
        return;
    }
    HANDLE file = CreateFileA(log_path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    char text[MAX_LOG_LINE + 1];
    std::memcpy(text, line->text, line->length);
    text[line->length] = '\n';
    DWORD written = 0;
    WriteFile(file, text, static_cast<DWORD>(line->length + 1), &written, nullptr);
    CloseHandle(file);
}

const char* command_name(UINT command)
{
    switch (command) {
    case MCI_OPEN_DRIVER:
        return "MCI_OPEN_DRIVER";
    case MCI_CLOSE_DRIVER:
        return "MCI_CLOSE_DRIVER";
    case MCI_STATUS:
        return "MCI_STATUS";
    case MCI_SET:
        return "MCI_SET";
    case MCI_PLAY:
        return "MCI_PLAY";
    case MCI_PAUSE:
        return "MCI_PAUSE";
    case MCI_RESUME:
        return "MCI_RESUME";
    case MCI_STOP:
        return "MCI_STOP";
    case MCI_SEEK:
        return "MCI_SEEK";
    case MCI_GETDEVCAPS:
        return "MCI_GETDEVCAPS";
    case MCI_INFO:
        return "MCI_INFO";
    default:
        return nullptr;
    }
}

const char* status_item_name(DWORD item)
{
    switch (item) {
    case MCI_STATUS_LENGTH:
        return "MCI_STATUS_LENGTH";
    case MCI_STATUS_POSITION:
        return "MCI_STATUS_POSITION";
    case MCI_STATUS_NUMBER_OF_TRACKS:
        return "MCI_STATUS_NUMBER_OF_TRACKS";
    case MCI_STATUS_MODE:
        return "MCI_STATUS_MODE";
    case MCI_STATUS_MEDIA_PRESENT:
        return "MCI_STATUS_MEDIA_PRESENT";
    case MCI_STATUS_TIME_FORMAT:
        return "MCI_STATUS_TIME_FORMAT";
    case MCI_STATUS_READY:
        return "MCI_STATUS_READY";
    case MCI_STATUS_CURRENT_TRACK:
        return "MCI_STATUS_CURRENT_TRACK";
    case MCI_CDA_STATUS_TYPE_TRACK:
        return "MCI_CDA_STATUS_TYPE_TRACK";
    default:
        return nullptr;
    }
}

const char* time_format_name(DWORD format)
{
    switch (format) {
    case MCI_FORMAT_MILLISECONDS:
        return "MCI_FORMAT_MILLISECONDS";
    case MCI_FORMAT_MSF:
        return "MCI_FORMAT_MSF";
    case MCI_FORMAT_TMSF:
        return "MCI_FORMAT_TMSF";
    default:
        return nullptr;
    }
}

const char* notify_name(UINT code)
{
    switch (code) {
    case MCI_NOTIFY_SUCCESSFUL:
        return "MCI_NOTIFY_SUCCESSFUL";
    case MCI_NOTIFY_SUPERSEDED:
        return "MCI_NOTIFY_SUPERSEDED";
    case MCI_NOTIFY_ABORTED:
        return "MCI_NOTIFY_ABORTED";
    case MCI_NOTIFY_FAILURE:
        return "MCI_NOTIFY_FAILURE";
    default:
        return "MCI_NOTIFY_UNKNOWN";
    }
}
