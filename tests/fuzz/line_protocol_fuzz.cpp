// The Telnet filter, line framing and keyword matching, fed arbitrary bytes as the server feeds
// them. The first two bytes choose where the rest is cut into two receives; the commands must be
// the same as from one receive, and bytes without a 255 must pass the filter unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "server/line_protocol.h"

namespace {

constexpr size_t MAX_INPUT = 8192;

struct Received {
    LineCommand commands[MAX_INPUT];
    size_t count;
};

Received one_receive;
Received two_receives;

void record(void* context, LineCommand command)
{
    Received* received = static_cast<Received*>(context);
    bool known = command.command == CMD_PLAY;
    for (const Keyword& keyword : KEYWORDS) {
        known = known || command.command == keyword.command;
    }
    if (!known) {
        std::abort();
    }
    if (command.command != CMD_PLAY && command.argument != 0) {
        std::abort();
    }
    if (received->count >= MAX_INPUT) {
        std::abort();  // at most one command per terminator
    }
    received->commands[received->count++] = command;
}

// One receive of size bytes: filtered in a copy of its exact size, then framed.
void receive(TelnetFilter* filter, const char* data, size_t size, char* line, size_t* fill, Received* received)
{
    char* copy = new char[size == 0 ? 1 : size];
    std::memcpy(copy, data, size);
    const size_t kept = filter_telnet(filter, copy, size);
    if (kept > size ||
        (std::memchr(data, 255, size) == nullptr && !filter->spoken &&
            (kept != size || std::memcmp(copy, data, size) != 0))) {
        std::abort();
    }
    frame_bytes(copy, kept, line, fill, record, received);
    if (*fill > LINE_MAX_KEPT || filter->subnegotiation_bytes > TELNET_SUBNEGOTIATION_MAX + 1) {
        std::abort();
    }
    delete[] copy;
}

// Frames data in the given pieces with a fresh filter and a fresh, exactly sized line buffer.
void frame(const char* data, size_t size, size_t cut, Received* received)
{
    char* line = new char[LINE_BUFFER_SIZE];
    size_t fill = 0;
    TelnetFilter filter = {};
    received->count = 0;
    receive(&filter, data, cut, line, &fill, received);
    receive(&filter, data + cut, size - cut, line, &fill, received);
    delete[] line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2 || size - 2 > MAX_INPUT) {
        return 0;
    }
    const char* bytes = reinterpret_cast<const char*>(data + 2);
    const size_t length = size - 2;
    const size_t cut = (static_cast<size_t>(data[0]) | static_cast<size_t>(data[1]) << 8) % (length + 1);

    frame(bytes, length, length, &one_receive);
    frame(bytes, length, cut, &two_receives);

    size_t terminators = 0;
    for (size_t i = 0; i < length; ++i) {
        terminators += bytes[i] == '\r' || bytes[i] == '\n';
    }
    if (one_receive.count > terminators || one_receive.count != two_receives.count) {
        std::abort();
    }
    for (size_t i = 0; i < one_receive.count; ++i) {
        if (one_receive.commands[i].command != two_receives.commands[i].command ||
            one_receive.commands[i].argument != two_receives.commands[i].argument) {
            std::abort();
        }
    }
    return 0;
}
