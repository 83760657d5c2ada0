#include "server/line_protocol.h"

#include <cstring>

#include "common/text.h"

LineCommand match_line(const char* line)
{
    for (const Keyword& keyword : KEYWORDS) {
        if (std::strncmp(line, keyword.text, keyword.bytes_compared) == 0) {
            return {keyword.command, 0};
        }
    }
    if (is_ascii_digit(line[0])) {
        return {CMD_PLAY, parse_decimal(line)};
    }
    return {0, 0};
}

void frame_bytes(const char* data, size_t size, char* line, size_t* fill, command_sink sink, void* context)
{
    for (size_t i = 0; i < size; ++i) {
        const char byte = data[i];
        if (byte == '\r' || byte == '\n') {
            line[*fill] = '\0';
            *fill = 0;
            const LineCommand command = match_line(line);
            if (command.command != 0) {
                sink(context, command);
            }
        } else if (*fill < LINE_MAX_KEPT) {
            line[(*fill)++] = byte;
        }
    }
}

size_t compose_reply(const char* text, char* out, size_t size)
{
    if (size < 2) {
        if (size == 1) {
            out[0] = '\0';
        }
        return 0;
    }
    size_t length = std::strlen(text);
    if (length > size - 2) {
        length = size - 2;
    }
    std::memcpy(out, text, length);
    out[length] = '!';
    out[length + 1] = '\0';
    return length + 1;
}
