#include <gtest/gtest.h>

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "res/texts.h"

namespace {

// The code page 932 bytes of a UTF-8 text, converted by the C library, not by this program.
std::string to_cp932(const char* utf8)
{
    iconv_t cd = iconv_open("CP932", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        ADD_FAILURE() << "iconv has no CP932";
        return "";
    }
    char in[512];
    char out[512];
    std::strncpy(in, utf8, sizeof in - 1);
    in[sizeof in - 1] = '\0';
    char* in_at = in;
    size_t in_left = std::strlen(in);
    char* out_at = out;
    size_t out_left = sizeof out;
    if (iconv(cd, &in_at, &in_left, &out_at, &out_left) == static_cast<size_t>(-1)) {
        ADD_FAILURE() << "cannot convert " << utf8;
    }
    iconv_close(cd);
    return std::string(out, out_at);
}

struct TextCase {
    const char* name;
    const char* bytes;
    const char* utf8;
};

const TextCase TEXT_CASES[] = {
    {"TEXT_ERROR_TITLE", TEXT_ERROR_TITLE, "Error"},
    {"TEXT_MENU_PLAY", TEXT_MENU_PLAY, "最初から再生(&P)"},
    {"TEXT_MENU_STOP", TEXT_MENU_STOP, "停止(&S)"},
    {"TEXT_MENU_PAUSE", TEXT_MENU_PAUSE, "一時停止(&U)"},
    {"TEXT_MENU_RESUME", TEXT_MENU_RESUME, "再開(&U)"},
    {"TEXT_MENU_NEXT", TEXT_MENU_NEXT, "一曲進む(&N)"},
    {"TEXT_MENU_PREVIOUS", TEXT_MENU_PREVIOUS, "一曲戻る(&V)"},
    {"TEXT_MENU_SELECT_TRACK", TEXT_MENU_SELECT_TRACK, "曲番号指定(&M)"},
    {"TEXT_MENU_CLOSE_TRAY", TEXT_MENU_CLOSE_TRAY, "トレイを閉じる(&C)"},
    {"TEXT_MENU_EJECT", TEXT_MENU_EJECT, "イジェクト(&E)"},
    {"TEXT_MENU_SETTINGS", TEXT_MENU_SETTINGS, "設定(&O)"},
    {"TEXT_MENU_EXIT", TEXT_MENU_EXIT, "終了(&X)"},
    {"TEXT_NO_AUDIO_CD", TEXT_NO_AUDIO_CD, "AudioCD が使用できません。\n終了します。"},
    {"TEXT_NO_TCPIP", TEXT_NO_TCPIP, "TCP/IP が使用できません。\n終了します。"},
    {"TEXT_PORT_IN_USE", TEXT_PORT_IN_USE, "TCP/IP ポート番号が使用されています。\nポート番号を変更してください。"},
    {"TEXT_CANNOT_SET_UP", TEXT_CANNOT_SET_UP, "設定ができません。終了します。"},
    {"TEXT_BAD_PORT_NAME", TEXT_BAD_PORT_NAME, "ポートの名称が正しくありません。"},
    {"TEXT_HOST_FORMAT", TEXT_HOST_FORMAT, "ホスト：%s"},
    {"TEXT_PORT_NOT_SAVED_FORMAT", TEXT_PORT_NOT_SAVED_FORMAT,
        "ポート番号を保存できませんでした。\n%s\n次回の起動では以前のポート番号が使われます。"},
    {"TEXT_ALREADY_RUNNING", TEXT_ALREADY_RUNNING, "qel はすでに起動しています。"},
};

}  // namespace

TEST(Cp932Texts, EveryTextIsItsJapaneseInCodePage932)
{
    for (const TextCase& c : TEXT_CASES) {
        EXPECT_EQ(std::string(c.bytes), to_cp932(c.utf8)) << c.name;
    }
}

TEST(Cp932Texts, EveryJapaneseTextHasAnEnglishTwinThatKeepsItsKeyAndFormat)
{
    for (const TextCase& c : TEXT_CASES) {
        const std::string japanese = c.bytes;
        const std::string english = english_twin(c.bytes);
        const bool ascii = std::all_of(japanese.begin(), japanese.end(), [](char b) { return (b & 0x80) == 0; });
        if (ascii) {
            EXPECT_EQ(english, japanese) << c.name;  // "Error" shows as it is everywhere
            continue;
        }
        EXPECT_NE(english, japanese) << c.name;
        EXPECT_TRUE(std::all_of(english.begin(), english.end(), [](char b) { return b > 0 && (b & 0x80) == 0; }))
            << c.name;
        // The same %s (a format) and the same key of a menu item, as "(&P)" ends the Japanese.
        EXPECT_EQ(english.find("%s") != std::string::npos, japanese.find("%s") != std::string::npos) << c.name;
        const size_t key = japanese.find("(&");
        if (key != std::string::npos) {
            const size_t english_key = english.find('&');
            ASSERT_NE(english_key, std::string::npos) << c.name;
            EXPECT_EQ(std::tolower(static_cast<unsigned char>(english[english_key + 1])),
                std::tolower(static_cast<unsigned char>(japanese[key + 2])))
                << c.name;
        }
    }
    // Compared by content: a copy of a text finds its twin too.
    const std::string copy = TEXT_MENU_EXIT;
    EXPECT_STREQ(english_twin(copy.c_str()), "E&xit");
}
