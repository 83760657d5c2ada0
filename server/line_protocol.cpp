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

namespace {

// The bytes of Telnet's command sequences (RFC 854, 855).
constexpr unsigned char TELNET_SE = 240;
constexpr unsigned char TELNET_SB = 250;
constexpr unsigned char TELNET_WILL = 251;
constexpr unsigned char TELNET_DONT = 254;

enum TelnetState : uint8_t {
    TELNET_DATA = 0,
    TELNET_COMMAND,  // after IAC
    TELNET_OPTION,  // after IAC WILL, WONT, DO or DONT: the option byte comes
    TELNET_SUBNEGOTIATION,  // after IAC SB: up to IAC SE
    TELNET_SUBNEGOTIATION_COMMAND,  // IAC inside a subnegotiation
};

}  // namespace

size_t filter_telnet(TelnetFilter* filter, char* data, size_t size)
{
    size_t kept = 0;
    for (size_t i = 0; i < size; ++i) {
        const unsigned char byte = static_cast<unsigned char>(data[i]);
        switch (filter->state) {
        case TELNET_DATA:
            if (byte == TELNET_IAC) {
                filter->state = TELNET_COMMAND;
                filter->spoken = true;
                continue;
            }
            if (byte == 0 && filter->after_cr && filter->spoken) {
                filter->after_cr = false;
                continue;
            }
            break;
        case TELNET_COMMAND:
            if (byte == TELNET_IAC) {
                filter->state = TELNET_DATA;
                break;  // an escaped data byte 255
            }
            if (byte == TELNET_SB) {
                filter->state = TELNET_SUBNEGOTIATION;
                filter->subnegotiation_bytes = 0;
            } else if (byte >= TELNET_WILL && byte <= TELNET_DONT) {
                filter->state = TELNET_OPTION;
            } else {
                filter->state = TELNET_DATA;  // a command of its own: NOP, GA, AYT, ...
            }
            continue;
        case TELNET_OPTION:
            filter->state = TELNET_DATA;
            continue;
        default:  // inside a subnegotiation
            if (++filter->subnegotiation_bytes > TELNET_SUBNEGOTIATION_MAX) {
                filter->state = TELNET_DATA;
                --i;  // given up: this byte is read again as data
                continue;
            }
            if (filter->state == TELNET_SUBNEGOTIATION_COMMAND) {
                filter->state = byte == TELNET_SE ? TELNET_DATA : TELNET_SUBNEGOTIATION;
            } else if (byte == TELNET_IAC) {
                filter->state = TELNET_SUBNEGOTIATION_COMMAND;
            }
            continue;
        }
        filter->after_cr = byte == '\r';
        data[kept++] = static_cast<char>(byte);
    }
    return kept;
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
