#include <gtest/gtest.h>

#include <cstring>
#include <string>

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
// write past it is reported.
struct Connection {
    char* line = new char[LINE_BUFFER_SIZE];
    size_t fill = 0;
    Received received = {};

    ~Connection() { delete[] line; }
    void receive(const std::string& bytes) { frame_bytes(bytes.data(), bytes.size(), line, &fill, record, &received); }
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
