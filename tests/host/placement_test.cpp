#include <gtest/gtest.h>

#include "ui/placement.h"

namespace {

// A 1920 x 1080 screen with a 40 px taskbar on one side, and a 200 x 150 dialog.
constexpr long W = 200;
constexpr long H = 150;
constexpr Area TASKBAR_BOTTOM = {0, 0, 1920, 1040};
constexpr Area TASKBAR_TOP = {0, 40, 1920, 1080};
constexpr Area TASKBAR_LEFT = {40, 0, 1920, 1080};
constexpr Area TASKBAR_RIGHT = {0, 0, 1880, 1080};

struct PlaceCase {
    const char* what;
    Area work_area;
    long cursor_x;
    long cursor_y;
    long x;
    long y;
};

constexpr PlaceCase CASES[] = {
    // Where there is room the top-left corner is at the cursor, whichever side the taskbar is on.
    {"room, taskbar bottom", TASKBAR_BOTTOM, 100, 120, 100, 120},
    {"room, taskbar top", TASKBAR_TOP, 100, 120, 100, 120},
    {"room, taskbar left", TASKBAR_LEFT, 100, 120, 100, 120},
    {"room, taskbar right", TASKBAR_RIGHT, 100, 120, 100, 120},
    // Taskbar at the bottom, chosen from the tray menu just above it: it opens above the cursor,
    // at the right edge to its left, exactly as it always has.
    {"bottom: above the cursor", TASKBAR_BOTTOM, 1000, 1000, 1000, 850},
    {"bottom: right edge", TASKBAR_BOTTOM, 1900, 1000, 1700, 850},
    {"bottom: exactly reaching the edge turns it", TASKBAR_BOTTOM, 1720, 890, 1520, 740},
    {"bottom: one short of the edge stays", TASKBAR_BOTTOM, 1719, 889, 1719, 889},
    // The cursor over the taskbar itself: the dialog is moved up into the work area.
    {"bottom: cursor on the taskbar", TASKBAR_BOTTOM, 1800, 1060, 1600, 890},
    // Taskbar at the top: at the cursor on the taskbar the dialog would cover it; moved down.
    {"top: cursor on the taskbar", TASKBAR_TOP, 1800, 20, 1600, 40},
    {"top: just below it", TASKBAR_TOP, 1800, 45, 1600, 45},
    // Taskbar at the left: the cursor on it puts the dialog right of it.
    {"left: cursor on the taskbar", TASKBAR_LEFT, 20, 1000, 40, 850},
    {"left: near the bottom", TASKBAR_LEFT, 20, 500, 40, 500},
    // Taskbar at the right: turned to the left of the cursor, then kept off the taskbar.
    {"right: cursor on the taskbar", TASKBAR_RIGHT, 1900, 1000, 1680, 850},
    {"right: just left of it", TASKBAR_RIGHT, 1870, 300, 1670, 300},
    // A second monitor left of the primary one: negative coordinates are as good as any.
    {"monitor at the left", {-1280, 0, 0, 984}, -100, 970, -300, 820},
    {"monitor at the left, its left edge", {-1280, 0, 0, 984}, -1270, 10, -1270, 10},
    // A monitor above the primary one, taskbar at its top.
    {"monitor above", {0, -1000, 1600, -40}, 1590, -45, 1390, -195},
};

}  // namespace

TEST(Placement, AtTheCursorInsideTheWorkAreaOfEachTaskbarSide)
{
    for (const PlaceCase& c : CASES) {
        const Position at = place_at_cursor(c.work_area, W, H, c.cursor_x, c.cursor_y);
        EXPECT_EQ(at.x, c.x) << c.what;
        EXPECT_EQ(at.y, c.y) << c.what;
        EXPECT_GE(at.x, c.work_area.left) << c.what;
        EXPECT_LE(at.x + W, c.work_area.right) << c.what;
        EXPECT_GE(at.y, c.work_area.top) << c.what;
        EXPECT_LE(at.y + H, c.work_area.bottom) << c.what;
    }
}

TEST(Placement, ADialogLargerThanTheWorkAreaShowsItsTopLeft)
{
    const Area small = {0, 0, 640, 440};
    const Position at = place_at_cursor(small, 800, 600, 600, 400);
    EXPECT_EQ(at.x, 0);
    EXPECT_EQ(at.y, 0);
}
