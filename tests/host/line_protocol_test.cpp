#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "server/line_protocol.h"

namespace {

struct MatchCase {
    const char* line;
    unsigned command;
    int32_t argument;
};

// Each keyword compares a fixed number of bytes at the start of the line, so longer lines that
// begin with it match too; "pause" compares its terminator as well.
constexpr MatchCase MATCH_CASES[] = {
    {"play", CMD_PLAY, 0},
    {"play 5", CMD_PLAY, 0},  // the argument is not read: track 1
    {"stop", CMD_STOP, 0},
    {"stopped", CMD_STOP, 0},
    {"eject", CMD_EJECT, 0},
    {"ejection", CMD_EJECT, 0},
    {"close", CMD_CLOSE_TRAY, 0},
    {"closet", CMD_CLOSE_TRAY, 0},
    {"resume", CMD_RESUME, 0},
    {"resumes", CMD_RESUME, 0},
    {"pause", CMD_PAUSE, 0},
    {"pause ", 0, 0},
    {"pauseX", 0, 0},
    {"paus", 0, 0},
    {"next", CMD_NEXT, 0},
    {"next please", CMD_NEXT, 0},
    {"nex", 0, 0},
    {"previous", CMD_PREVIOUS, 0},
    {"previously", CMD_PREVIOUS, 0},
    {"prev", 0, 0},
    {"status", CMD_STATUS, 0},
    {"statuses", CMD_STATUS, 0},
    {"select", CMD_TRACK_LIST, 0},
    {"select 3", CMD_TRACK_LIST, 0},
    {"5", CMD_PLAY, 5},
    {"0", CMD_PLAY, 0},
    {"007", CMD_PLAY, 7},
    {"12 please", CMD_PLAY, 12},
    {"5000000000", CMD_PLAY, 705032704},
    {"Play", 0, 0},
    {"STOP", 0, 0},
    {" stop", 0, 0},
    {" 5", 0, 0},
    {"+5", 0, 0},
    {"-5", 0, 0},
    {"\xB5", 0, 0},
    {"", 0, 0},
};

struct Received {
    LineCommand commands[64];
    size_t count;
};

void record(void* context, LineCommand command)
{
    Received* received = static_cast<Received*>(context);
    ASSERT_LT(received->count, sizeof received->commands / sizeof received->commands[0]);
    received->commands[received->count++] = command;
}

// One connection's framing state, with the line buffer on the heap at its exact size so that a
// write past it is reported. Received bytes go through the Telnet filter first, as in the server.
struct Connection {
    char* line = new char[LINE_BUFFER_SIZE];
    size_t fill = 0;
    TelnetFilter telnet = {};
    Received received = {};

    ~Connection() { delete[] line; }
    void receive(const std::string& bytes)
    {
        std::string data = bytes;
        data.resize(filter_telnet(&telnet, &data[0], data.size()));
        frame_bytes(data.data(), data.size(), line, &fill, record, &received);
    }
    // The commands so far, as "command:argument" separated by blanks.
    std::string commands() const
    {
        std::string text;
        for (size_t i = 0; i < received.count; ++i) {
            text += (i == 0 ? "" : " ") + std::to_string(received.commands[i].command) + ":" +
                std::to_string(received.commands[i].argument);
        }
        return text;
    }
};

std::string cmd(unsigned command, int32_t argument = 0)
{
    return std::to_string(command) + ":" + std::to_string(argument);
}

}  // namespace

TEST(MatchLine, KeywordTable)
{
    for (const MatchCase& c : MATCH_CASES) {
        const LineCommand got = match_line(c.line);
        EXPECT_EQ(got.command, c.command) << '"' << c.line << '"';
        EXPECT_EQ(got.argument, c.argument) << '"' << c.line << '"';
    }
    EXPECT_EQ(match_line("\0stop").command, 0u);
}

TEST(FrameBytes, TerminatorsCompleteLinesInOrder)
{
    Connection c;
    c.receive("stop\rplay\nnext\r\nprevious\n\n\r7\n");
    EXPECT_EQ(c.commands(),
        cmd(CMD_STOP) + " " + cmd(CMD_PLAY) + " " + cmd(CMD_NEXT) + " " + cmd(CMD_PREVIOUS) + " " + cmd(CMD_PLAY, 7));
    EXPECT_EQ(c.fill, 0u);
}

TEST(FrameBytes, LineSplitOverReceivesMatchesOnceAtItsTerminator)
{
    Connection c;
    c.receive("pa");
    c.receive("use");
    EXPECT_EQ(c.received.count, 0u);
    c.receive("\r");
    c.receive("\n1");
    EXPECT_EQ(c.commands(), cmd(CMD_PAUSE));
    c.receive("2\n");
    EXPECT_EQ(c.commands(), cmd(CMD_PAUSE) + " " + cmd(CMD_PLAY, 12));

    // Byte by byte gives what one receive gives.
    const std::string script = "status\r\nselect\n3 \r pause\nresume\reject\nclose\n";
    Connection whole;
    Connection bytes;
    whole.receive(script);
    for (char byte : script) {
        bytes.receive(std::string(1, byte));
    }
    EXPECT_EQ(whole.received.count, 6u);
    EXPECT_EQ(bytes.commands(), whole.commands());
}

TEST(FrameBytes, UnterminatedBytesWaitAndANewConnectionStartsEmpty)
{
    Connection c;
    c.receive("stop");
    EXPECT_EQ(c.received.count, 0u);
    EXPECT_EQ(c.fill, 4u);
    c.fill = 0;  // what the server does for the next connection
    c.receive("play\n");
    EXPECT_EQ(c.commands(), cmd(CMD_PLAY));
}

TEST(FrameBytes, NulEndsALineForMatchingOnly)
{
    Connection c;
    c.receive(std::string("pause\0xyz\n", 9));
    c.receive(std::string("\0stop\n", 6));
    c.receive(std::string("9\0"
                          "9\n",
        4));
    EXPECT_EQ(c.commands(), cmd(CMD_PAUSE) + " " + cmd(CMD_PLAY, 9));
}

TEST(FrameBytes, OverlongLinesKeepTheirStartAndDropTheRest)
{
    Connection c;
    c.receive("stop" + std::string(4996, 'x') + "\n");
    EXPECT_EQ(c.commands(), cmd(CMD_STOP));
    EXPECT_EQ(c.fill, 0u);

    // The dropped tail of a long line never becomes a line of its own.
    Connection tail;
    tail.receive(std::string(5000, 'x') + "\nplay\n");
    tail.receive(std::string(LINE_MAX_KEPT, 'x') + "stop\n");
    EXPECT_EQ(tail.commands(), cmd(CMD_PLAY));

    // A long line arriving in receive-sized pieces, and one of exactly the kept length.
    Connection pieces;
    const std::string line = "12" + std::string(2998, ' ');
    for (size_t at = 0; at < line.size(); at += RECEIVE_SIZE) {
        pieces.receive(line.substr(at, RECEIVE_SIZE));
        EXPECT_LE(pieces.fill, LINE_MAX_KEPT);
    }
    pieces.receive("\n" + std::string("next") + std::string(LINE_MAX_KEPT - 4, '-') + "\n");
    EXPECT_EQ(pieces.commands(), cmd(CMD_PLAY, 12) + " " + cmd(CMD_NEXT));
}

TEST(ComposeReply, TextThenBangInOneBuffer)
{
    char out[8];
    EXPECT_EQ(compose_reply("stop", out, sizeof out), 5u);
    EXPECT_STREQ(out, "stop!");
    EXPECT_EQ(compose_reply("", out, sizeof out), 1u);
    EXPECT_STREQ(out, "!");
    EXPECT_EQ(compose_reply("123456", out, sizeof out), 7u);
    EXPECT_STREQ(out, "123456!");
    EXPECT_EQ(compose_reply("1234567", out, sizeof out), 7u);
    EXPECT_STREQ(out, "123456!");
    EXPECT_EQ(compose_reply("stop", out, 2), 1u);
    EXPECT_STREQ(out, "!");
    EXPECT_EQ(compose_reply("stop", out, 1), 0u);
    EXPECT_STREQ(out, "");
}

namespace {

// What the filter keeps of input cut into receives at the given offsets, with a new filter.
std::string filtered(const std::string& input, std::initializer_list<size_t> cuts)
{
    TelnetFilter filter = {};
    std::string kept;
    size_t from = 0;
    std::vector<size_t> ends(cuts);
    ends.push_back(input.size());
    for (size_t end : ends) {
        std::string piece = input.substr(from, end - from);
        const size_t size = filter_telnet(&filter, &piece[0], piece.size());
        EXPECT_LE(size, piece.size());
        kept += piece.substr(0, size);
        from = end;
    }
    return kept;
}

// Bytes by their numbers, for Telnet's commands.
std::string bytes(std::initializer_list<int> values)
{
    std::string text;
    for (int value : values) {
        text += static_cast<char>(value);
    }
    return text;
}

constexpr int IAC = 255, SB = 250, SE = 240, WILL = 251, WONT = 252, DO = 253, DONT = 254, NOP = 241;

}  // namespace

TEST(TelnetFilter, NegotiationIsTakenOutAtEverySplitPoint)
{
    // What PuTTY's Telnet mode sends on connecting, a subnegotiation with an escaped 255 and a
    // command between the lines, around two commands; an escaped 255 inside a line stays data.
    const std::string input = bytes({IAC, WILL, 31, IAC, WILL, 32, IAC, WILL, 24, IAC, WILL, 39, IAC, DO, 1, IAC, WILL,
                                  3, IAC, DO, 3, IAC, WONT, 5, IAC, DONT, 6}) +
        "play\n" + bytes({IAC, SB, 31, 0, 80, IAC, IAC, 24, IAC, SE, IAC, NOP}) + "1" + bytes({IAC, IAC}) + "2\n" +
        bytes({IAC, SB, 24, 0}) + "xterm" + bytes({IAC, SE}) + "status\n";
    const std::string expected = "play\n1\xff"
                                 "2\nstatus\n";
    EXPECT_EQ(filtered(input, {}), expected);
    for (size_t cut = 0; cut <= input.size(); ++cut) {
        ASSERT_EQ(filtered(input, {cut}), expected) << "cut at " << cut;
        for (size_t second = cut; second <= input.size(); ++second) {
            ASSERT_EQ(filtered(input, {cut, second}), expected) << "cuts at " << cut << " and " << second;
        }
    }
    Connection c;
    for (char byte : input) {
        c.receive(std::string(1, byte));
    }
    EXPECT_EQ(c.commands(), cmd(CMD_PLAY) + " " + cmd(CMD_PLAY, 1) + " " + cmd(CMD_STATUS));
}

TEST(TelnetFilter, BytesWithoutATelnetCommandPassUnchanged)
{
    std::string all;
    for (int value = 0; value < 255; ++value) {
        all += static_cast<char>(value);
    }
    const std::string input = all + "\r" + std::string(1, '\0') + "stop\r\n" + all;
    EXPECT_EQ(filtered(input, {}), input);
    EXPECT_EQ(filtered(input, {300, 301}), input);

    // Without Telnet a NUL after a CR is data as before: the line it starts is ignored.
    Connection c;
    c.receive(std::string("play\r\0stop\n", 11));
    EXPECT_EQ(c.commands(), cmd(CMD_PLAY));
}

TEST(TelnetFilter, ATelnetClientsBareCarriageReturnEndsTheLineAlone)
{
    // Telnet sends a carriage return without a line feed as CR NUL.
    Connection c;
    c.receive(bytes({IAC, DO, 1}) + std::string("play\r\0stop\r", 11));
    c.receive(std::string(1, '\0') + "next\r\n");
    EXPECT_EQ(c.commands(), cmd(CMD_PLAY) + " " + cmd(CMD_STOP) + " " + cmd(CMD_NEXT));
}

TEST(TelnetFilter, ASubnegotiationThatNeverEndsIsGivenUpAtItsBound)
{
    // Within the bound, lines inside a subnegotiation are not commands.
    Connection c;
    c.receive(bytes({IAC, SB, 24}) + "play\n" + bytes({IAC, SE}) + "stop\n");
    EXPECT_EQ(c.commands(), cmd(CMD_STOP));

    // Past it, what follows is data again, however it arrives.
    for (size_t piece : {size_t{1}, size_t{7}, size_t{RECEIVE_SIZE}}) {
        Connection endless;
        const std::string input = bytes({IAC, SB, 24}) + std::string(TELNET_SUBNEGOTIATION_MAX, 'x') + "\nnext\n";
        for (size_t at = 0; at < input.size(); at += piece) {
            endless.receive(input.substr(at, piece));
        }
        EXPECT_EQ(endless.commands(), cmd(CMD_NEXT)) << "pieces of " << piece;
    }
}
