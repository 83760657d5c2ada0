#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "player/texts.h"

TEST(PlayerTexts, PositionFromTmsfDropsFrames)
{
    char out[STATUS_TEXT_SIZE];
    format_position_text(0x4A070103u, out, sizeof out);  // frame 74 of track 3 at 1:07
    EXPECT_STREQ(out, "3(1:7)");
    format_position_text(0x0029000Cu, out, sizeof out);
    EXPECT_STREQ(out, "12(0:41)");
    format_position_text(0xFFFFFFFFu, out, sizeof out);
    EXPECT_STREQ(out, "255(255:255)");

    char small[5];
    format_position_text(0x0029000Cu, small, sizeof small);
    EXPECT_STREQ(small, "12(0");
}

TEST(PlayerTexts, TrackLineFromMsfLength)
{
    char out[32];
    format_track_line(7, 0x0403u, out, sizeof out);
    EXPECT_STREQ(out, " 07. (3:04)\n");
    format_track_line(12, 0xFF2D0Bu, out, sizeof out);  // frames ignored
    EXPECT_STREQ(out, " 12. (11:45)\n");
    format_track_line(99, 0x3B4Au, out, sizeof out);
    EXPECT_STREQ(out, " 99. (74:59)\n");
}

TEST(PlayerTexts, AppendWholeKeepsOnlyWholeLines)
{
    // The list buffer holds 76 lines of 13 bytes (988 and the NUL); of 84 the rest are left out.
    char* list = new char[TRACK_LIST_SIZE];
    list[0] = '\0';
    char line[32];
    format_track_line(12, 0x2D0Bu, line, sizeof line);
    ASSERT_EQ(std::strlen(line), 13u);
    int appended = 0;
    for (int i = 0; i < 84; ++i) {
        if (append_whole(list, TRACK_LIST_SIZE, line)) {
            ++appended;
        }
    }
    EXPECT_EQ(appended, 76);
    EXPECT_EQ(std::strlen(list), 988u);
    EXPECT_EQ(list[987], '\n');

    // Filling to exactly size - 1 still fits; one byte more does not and changes nothing.
    const std::string rest(TRACK_LIST_SIZE - 1 - 988, 'r');
    EXPECT_FALSE(append_whole(list, TRACK_LIST_SIZE, (rest + "r").c_str()));
    EXPECT_EQ(std::strlen(list), 988u);
    EXPECT_TRUE(append_whole(list, TRACK_LIST_SIZE, rest.c_str()));
    EXPECT_EQ(std::strlen(list), TRACK_LIST_SIZE - 1);
    EXPECT_TRUE(append_whole(list, TRACK_LIST_SIZE, ""));
    delete[] list;
}
