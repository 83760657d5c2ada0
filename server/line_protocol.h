#pragma once
// The control protocol's pure half: bytes become lines, lines become commands, and replies are
// composed. Platform-free: no Windows header here, so it is unit-tested and fuzzed natively.
#include <cstddef>
#include <cstdint>

#include "common/commands.h"

constexpr size_t LINE_BUFFER_SIZE = 1000;
constexpr size_t RECEIVE_SIZE = 1000;
// A line keeps at most this many bytes; the rest of an overlong line, up to its terminator, is
// dropped. Matching only looks at the start of a line, so this answers as an unbounded line would.
constexpr size_t LINE_MAX_KEPT = LINE_BUFFER_SIZE - 1;

struct Keyword {
    const char* text;
    size_t bytes_compared;  // "pause" compares 6: its terminator takes part, so only "pause" matches
    unsigned command;
};

// Tried in this order; each compares a fixed number of bytes at the start of the line.
constexpr Keyword KEYWORDS[] = {
    {"play", 4, CMD_PLAY},
    {"stop", 4, CMD_STOP},
    {"eject", 5, CMD_EJECT},
    {"close", 5, CMD_CLOSE_TRAY},
    {"resume", 6, CMD_RESUME},
    {"pause", 6, CMD_PAUSE},
    {"next", 4, CMD_NEXT},
    {"previous", 8, CMD_PREVIOUS},
    {"status", 6, CMD_STATUS},
    {"select", 6, CMD_TRACK_LIST},
};

struct LineCommand {
    unsigned command;  // 0: the line asks for nothing
    int32_t argument;  // CMD_PLAY's track; 0 plays track 1
};

// Matches one NUL-terminated line (a NUL inside the line ends it for matching).
LineCommand match_line(const char* line);

// Receives each command of a completed line, in order.
using command_sink = void (*)(void* context, LineCommand command);

// Frames received bytes: a CR or LF completes the line kept in line[LINE_BUFFER_SIZE] with its
// fill count (both survive from one call to the next), which is matched and handed to sink.
void frame_bytes(const char* data, size_t size, char* line, size_t* fill, command_sink sink, void* context);

// Telnet clients (PuTTY's Telnet mode among them) open with option negotiation and may send
// commands between lines. The filter takes their command sequences out of the received bytes
// before framing, so a line without byte 255 is framed exactly as it arrived; nothing is answered.
// IAC WILL/WONT/DO/DONT with its option, IAC SB ... IAC SE and IAC with one command byte are
// dropped; IAC IAC is one data byte 255. Once a connection has spoken Telnet, a NUL right after a
// CR (Telnet's bare carriage return) is dropped too. A sequence may be split across receives: its
// state lives in the record, one per connection, zeroed when the connection is accepted.
constexpr unsigned char TELNET_IAC = 255;
// A subnegotiation carries a window size or a terminal type: a few dozen bytes. One that goes on
// past this many is not one; the filter gives up on it and frames what follows as data, so a
// client can neither make the filter hold anything nor swallow its own later lines for ever.
constexpr uint32_t TELNET_SUBNEGOTIATION_MAX = 1024;

struct TelnetFilter {
    uint8_t state;  // where in a command sequence the last byte left it; 0: in data
    bool spoken;  // the connection has sent a Telnet command
    bool after_cr;  // the last data byte was a CR
    uint32_t subnegotiation_bytes;
};

// Filters data in place and returns the length of the data bytes kept (never more than size).
size_t filter_telnet(TelnetFilter* filter, char* data, size_t size);

// Room for the longest reply: a text of up to 1000 bytes with its terminator (the status text, the
// track list), then "!" and a terminator.
constexpr size_t REPLY_BUFFER_SIZE = 1002;

// The reply bytes: text followed by "!", composed into out so that it goes out in one send.
// Returns the reply's length; text that would not fit is cut so that "!" always ends the reply.
size_t compose_reply(const char* text, char* out, size_t size);
