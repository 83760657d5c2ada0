#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/settings_path.h"

namespace {

// Lead bytes of code page 932 (Shift_JIS as Windows has it).
bool cp932_lead(unsigned char byte)
{
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

bool no_lead(unsigned char)
{
    return false;
}

struct PathCase {
    const char* exe;
    lead_byte_test lead;
    const char* expected;
};

// Code page 932: "表" is 95 5C, "ソフト" is 83 5C 83 74 83 67; their second bytes are not separators.
constexpr PathCase PATH_CASES[] = {
    {"C:\\tools\\player.exe", cp932_lead, "C:\\tools\\player.ini"},
    {"C:\\tools\\player.tar.exe", cp932_lead, "C:\\tools\\player.tar.ini"},
    {"C:\\my.dir\\player", cp932_lead, "C:\\my.dir\\player.ini"},
    {"C:/games/cd/player.exe", cp932_lead, "C:/games/cd/player.ini"},
    {"C:\\my.dir/player", cp932_lead, "C:\\my.dir/player.ini"},
    {"D:\\x.y/z.w\\player", cp932_lead, "D:\\x.y/z.w\\player.ini"},
    {"player.exe", cp932_lead, "player.ini"},
    {"player", cp932_lead, "player.ini"},
    {"C:player.exe", cp932_lead, "C:player.ini"},
    {"\\\\server\\share.1\\player.exe", cp932_lead, "\\\\server\\share.1\\player.ini"},
    {"C:\\\x95\x5C\\player.exe", cp932_lead, "C:\\\x95\x5C\\player.ini"},
    {"C:\\a.b\\\x95\x5C", cp932_lead, "C:\\a.b\\\x95\x5C.ini"},
    {"C:\\tools\\player.\x83\x5C\x83\x74\x83\x67", cp932_lead, "C:\\tools\\player.ini"},
    {"C:\\tools\\x.y\\\x83\x5C.exe", cp932_lead, "C:\\tools\\x.y\\\x83\x5C.ini"},
    // Under a code page without lead bytes the same byte is a separator.
    {"C:\\tools\\player.\x83\x5C\x83\x74", no_lead, "C:\\tools\\player.\x83\x5C\x83\x74.ini"},
    // A lead byte takes the next byte even when that is a dot; a lead byte at the end stands alone.
    {"C:\\d\\x\x81.y", cp932_lead, "C:\\d\\x\x81.y.ini"},
    {"C:\\d\\name.e\x81", cp932_lead, "C:\\d\\name.ini"},
};

// The result lands in a heap buffer of exactly the product's size, so a write past it is reported.
bool settings_path(const std::string& exe, lead_byte_test lead, std::string* result)
{
    char* out = new char[SETTINGS_PATH_SIZE];
    std::memset(out, 'x', SETTINGS_PATH_SIZE);
    const bool ok = make_settings_path(exe.c_str(), lead, out, SETTINGS_PATH_SIZE);
    *result = std::string(out, strnlen(out, SETTINGS_PATH_SIZE));
    delete[] out;
    return ok;
}

}  // namespace

TEST(SettingsPath, ReplacesOnlyTheFileNamesExtension)
{
    for (const PathCase& c : PATH_CASES) {
        std::string result;
        EXPECT_TRUE(settings_path(c.exe, c.lead, &result)) << c.exe;
        EXPECT_EQ(result, c.expected) << c.exe;
    }
}

TEST(SettingsPath, AtMost259CharactersOrNothing)
{
    const std::string dir = "C:\\" + std::string(240, 'd') + "\\";
    std::string result;

    // 259 characters fit: the exe path is as long as the result.
    const std::string longest = dir + std::string(259 - dir.size() - 4, 'n') + ".exe";
    ASSERT_EQ(longest.size(), 259u);
    EXPECT_TRUE(settings_path(longest, cp932_lead, &result));
    EXPECT_EQ(result.size(), 259u);

    // One more does not, and the output is left empty rather than cut.
    EXPECT_FALSE(settings_path(dir + std::string(256 - dir.size(), 'n'), cp932_lead, &result));
    EXPECT_EQ(result, "");

    // Only the result counts: a long extension shortens it to fit.
    const std::string long_extension = dir + "p." + std::string(100, 'e');
    EXPECT_TRUE(settings_path(long_extension, cp932_lead, &result));
    EXPECT_EQ(result, dir + "p.ini");

    char tiny[4] = "abc";
    EXPECT_FALSE(make_settings_path("C:\\p.exe", cp932_lead, tiny, sizeof tiny));
    EXPECT_STREQ(tiny, "");
    EXPECT_FALSE(make_settings_path("C:\\p.exe", cp932_lead, tiny, 0));
}

TEST(SettingsPath, WidePathsKeepEveryFolderName)
{
    // UTF-16 names the folders of any language; a Japanese folder and a dotted one stay as they are.
    const wchar_t* const cases[][2] = {
        {L"C:\\\u97F3\u697D\u30C4\u30FC\u30EB\\qel.exe", L"C:\\\u97F3\u697D\u30C4\u30FC\u30EB\\qel.ini"},
        {L"C:\\\u8868.dir\\player", L"C:\\\u8868.dir\\player.ini"},
        {L"\\\\server\\share.1\\player.tar.exe", L"\\\\server\\share.1\\player.tar.ini"},
        {L"C:player.exe", L"C:player.ini"},
    };
    for (const auto& c : cases) {
        wchar_t out[SETTINGS_PATH_SIZE];
        EXPECT_TRUE(make_settings_path(c[0], out, SETTINGS_PATH_SIZE));
        EXPECT_EQ(std::wstring(out), std::wstring(c[1]));
    }

    // The same 259-character limit: the longest that fits, then nothing rather than a cut path.
    const std::wstring dir = L"C:\\" + std::wstring(240, L'\u97F3') + L"\\";
    wchar_t* out = new wchar_t[SETTINGS_PATH_SIZE];
    EXPECT_TRUE(make_settings_path(
        (dir + std::wstring(259 - dir.size() - 4, L'n') + L".exe").c_str(), out, SETTINGS_PATH_SIZE));
    EXPECT_EQ(std::wstring(out).size(), 259u);
    EXPECT_FALSE(make_settings_path((dir + std::wstring(256 - dir.size(), L'n')).c_str(), out, SETTINGS_PATH_SIZE));
    EXPECT_EQ(std::wstring(out), L"");
    delete[] out;
}
