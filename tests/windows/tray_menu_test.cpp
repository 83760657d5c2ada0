// The tray's popup menu, built for what the player shows.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "common/commands.h"
#include "res/texts.h"
#include "ui/tray_menu.h"

namespace {

struct Item {
    unsigned command;  // 0: a separator
    const char* label;
};

void expect_menu(bool playing, bool door_open, const Item (&expected)[14])
{
    const HMENU menu = build_tray_menu(playing, door_open);
    ASSERT_EQ(GetMenuItemCount(menu), 14);
    for (int i = 0; i < 14; ++i) {
        MENUITEMINFOA info = {};
        char label[128] = "";
        info.cbSize = sizeof info;
        info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STRING | MIIM_STATE;
        info.dwTypeData = label;
        info.cch = sizeof label;
        ASSERT_TRUE(GetMenuItemInfoA(menu, static_cast<UINT>(i), TRUE, &info));
        if (expected[i].command == 0) {
            EXPECT_TRUE(info.fType & MFT_SEPARATOR) << "position " << i + 1;
            continue;
        }
        EXPECT_EQ(info.wID, expected[i].command) << "position " << i + 1;
        EXPECT_STREQ(label, expected[i].label) << "position " << i + 1;
        EXPECT_EQ(info.fState & (MFS_DISABLED | MFS_CHECKED), 0u) << "position " << i + 1;
    }
    DestroyMenu(menu);
}

constexpr Item SEPARATOR = {0, nullptr};

TEST(TrayMenu, OffersPauseWhilePlayingAndEjectWhileTheDoorIsClosed)
{
    const Item playing[14] = {
        {CMD_PLAY, TEXT_MENU_PLAY},
        {CMD_STOP, TEXT_MENU_STOP},
        {CMD_PAUSE, TEXT_MENU_PAUSE},
        SEPARATOR,
        {CMD_NEXT, TEXT_MENU_NEXT},
        {CMD_PREVIOUS, TEXT_MENU_PREVIOUS},
        SEPARATOR,
        {CMD_SELECT_TRACK, TEXT_MENU_SELECT_TRACK},
        SEPARATOR,
        {CMD_EJECT, TEXT_MENU_EJECT},
        SEPARATOR,
        {CMD_SETTINGS, TEXT_MENU_SETTINGS},
        SEPARATOR,
        {CMD_EXIT, TEXT_MENU_EXIT},
    };
    expect_menu(true, false, playing);
}

TEST(TrayMenu, OffersResumeWhenNotPlayingAndCloseWhileTheDoorIsOpen)
{
    Item idle[14] = {
        {CMD_PLAY, TEXT_MENU_PLAY},
        {CMD_STOP, TEXT_MENU_STOP},
        {CMD_RESUME, TEXT_MENU_RESUME},
        SEPARATOR,
        {CMD_NEXT, TEXT_MENU_NEXT},
        {CMD_PREVIOUS, TEXT_MENU_PREVIOUS},
        SEPARATOR,
        {CMD_SELECT_TRACK, TEXT_MENU_SELECT_TRACK},
        SEPARATOR,
        {CMD_EJECT, TEXT_MENU_EJECT},
        SEPARATOR,
        {CMD_SETTINGS, TEXT_MENU_SETTINGS},
        SEPARATOR,
        {CMD_EXIT, TEXT_MENU_EXIT},
    };
    expect_menu(false, false, idle);

    idle[9] = {CMD_CLOSE_TRAY, TEXT_MENU_CLOSE_TRAY};
    expect_menu(false, true, idle);
}

}  // namespace
