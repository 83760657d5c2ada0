#pragma once
// vcd.log: one line per command the driver received and per event it caused, for tests to read
// while the program runs. The format is described in tools/vcd/README.md; keep the two together.
#include <windows.h>
#include <mmsystem.h>

#include <cstddef>

constexpr size_t MAX_LOG_LINE = 512;

struct LogLine {
    char text[MAX_LOG_LINE];
    size_t length;
};

// Where lines go from now on: directory\vcd.log, or nowhere when directory is empty.
void log_set_directory(const char* directory);

void log_start(LogLine* line, const char* name);
// Appends " " and the formatted text; a line that would overflow is cut, never overrun.
void log_add(LogLine* line, const char* format, ...) __attribute__((format(printf, 2, 3)));
// " flags=NAME|NAME..." with the names the command gives its flag bits, in ascending bit order;
// bits without a name are written as hex, no bits at all as 0.
void log_add_flags(LogLine* line, UINT command, DWORD flags);
// " result=N", and " error=NAME" when N is not 0.
void log_add_result(LogLine* line, DWORD result);
// Appends the line and a newline to the file and closes it again, so a reader sees every line
// as soon as it is written and may truncate or delete the file between commands.
void log_write(const LogLine* line);

const char* command_name(UINT command);
const char* status_item_name(DWORD item);
const char* time_format_name(DWORD format);
const char* notify_name(UINT code);
