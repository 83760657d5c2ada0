#pragma once
// The Japanese texts of the menu, the message boxes and the settings dialog's host line, as code
// page 932 bytes. They are turned into UTF-16 where they are shown (ui/wide_text.h), so they read
// right whatever the system's code page. A system without code page 932 (a Windows without the East
// Asian languages installed) could only show them as garbage: there each is shown by its English
// twin (TEXT_TWINS, below). Each one's Japanese stands beside it; a unit test checks every one
// against that text, and that each has its twin. Platform-free: no Windows header here.

#include <cstddef>

constexpr const char TEXT_ERROR_TITLE[] = "Error";
// 最初から再生(&P)
constexpr const char TEXT_MENU_PLAY[] = "\x8D\xC5\x8F\x89\x82\xA9\x82\xE7\x8D\xC4\x90\xB6(&P)";
// 停止(&S)
constexpr const char TEXT_MENU_STOP[] = "\x92\xE2\x8E~(&S)";
// 一時停止(&U)
constexpr const char TEXT_MENU_PAUSE[] = "\x88\xEA\x8E\x9E\x92\xE2\x8E~(&U)";
// 再開(&U)
constexpr const char TEXT_MENU_RESUME[] = "\x8D\xC4\x8AJ(&U)";
// 一曲進む(&N)
constexpr const char TEXT_MENU_NEXT[] = "\x88\xEA\x8B\xC8\x90i\x82\xDE(&N)";
// 一曲戻る(&V)
constexpr const char TEXT_MENU_PREVIOUS[] = "\x88\xEA\x8B\xC8\x96\xDF\x82\xE9(&V)";
// 曲番号指定(&M)
constexpr const char TEXT_MENU_SELECT_TRACK[] = "\x8B\xC8\x94\xD4\x8D\x86\x8Ew\x92\xE8(&M)";
// トレイを閉じる(&C)
constexpr const char TEXT_MENU_CLOSE_TRAY[] = "\x83g\x83\x8C\x83\x43\x82\xF0\x95\xC2\x82\xB6\x82\xE9(&C)";
// イジェクト(&E)
constexpr const char TEXT_MENU_EJECT[] = "\x83\x43\x83W\x83\x46\x83N\x83g(&E)";
// 設定(&O)
constexpr const char TEXT_MENU_SETTINGS[] = "\x90\xDD\x92\xE8(&O)";
// 終了(&X)
constexpr const char TEXT_MENU_EXIT[] = "\x8FI\x97\xB9(&X)";
// AudioCD が使用できません。\n終了します。
constexpr const char TEXT_NO_AUDIO_CD[] =
    "AudioCD "
    "\x82\xAA\x8Eg\x97p\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1\x81\x42\n\x8FI\x97\xB9\x82\xB5\x82\xDC\x82\xB7\x81\x42";
// TCP/IP が使用できません。\n終了します。
constexpr const char TEXT_NO_TCPIP[] =
    "TCP/IP "
    "\x82\xAA\x8Eg\x97p\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1\x81\x42\n\x8FI\x97\xB9\x82\xB5\x82\xDC\x82\xB7\x81\x42";
// TCP/IP ポート番号が使用されています。\nポート番号を変更してください。
constexpr const char TEXT_PORT_IN_USE[] =
    "TCP/IP "
    "\x83|\x81[\x83g\x94\xD4\x8D\x86\x82\xAA\x8Eg\x97p\x82\xB3\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB7\x81\x42\n\x83|"
    "\x81[\x83g\x94\xD4\x8D\x86\x82\xF0\x95\xCF\x8DX\x82\xB5\x82\xC4\x82\xAD\x82\xBE\x82\xB3\x82\xA2\x81\x42";
// 設定ができません。終了します。
constexpr const char TEXT_CANNOT_SET_UP[] = "\x90\xDD\x92\xE8\x82\xAA\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1\x81\x42"
                                            "\x8FI\x97\xB9\x82\xB5\x82\xDC\x82\xB7\x81\x42";
// ポートの名称が正しくありません。
constexpr const char TEXT_BAD_PORT_NAME[] =
    "\x83|\x81["
    "\x83g\x82\xCC\x96\xBC\x8F\xCC\x82\xAA\x90\xB3\x82\xB5\x82\xAD\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1\x81\x42";
// ホスト：%s
constexpr const char TEXT_HOST_FORMAT[] = "\x83z\x83X\x83g\x81\x46%s";
// ポート番号を保存できませんでした。\n%s\n次回の起動では以前のポート番号が使われます。
constexpr const char TEXT_PORT_NOT_SAVED_FORMAT[] =
    "\x83|\x81["
    "\x83g\x94\xD4\x8D\x86\x82\xF0\x95\xDB\x91\xB6\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1\x82\xC5\x82\xB5\x82\xBD\x81"
    "\x42\n%s\n\x8E\x9F\x89\xF1\x82\xCC\x8BN\x93\xAE\x82\xC5\x82\xCD\x88\xC8\x91O\x82\xCC\x83|\x81["
    "\x83g\x94\xD4\x8D\x86\x82\xAA\x8Eg\x82\xED\x82\xEA\x82\xDC\x82\xB7\x81\x42";
// qel はすでに起動しています。
constexpr const char TEXT_ALREADY_RUNNING[] =
    "qel \x82\xCD\x82\xB7\x82\xC5\x82\xC9\x8BN\x93\xAE\x82\xB5\x82\xC4\x82\xA2\x82\xDC\x82\xB7\x81\x42";

// The English of each Japanese text, for a system that has no code page 932. The menu keeps its
// keys (the letter after &), a format its one %s.
struct TextTwin {
    const char* japanese;
    const char* english;
};

constexpr TextTwin TEXT_TWINS[] = {
    {TEXT_MENU_PLAY, "&Play from the start"},
    {TEXT_MENU_STOP, "&Stop"},
    {TEXT_MENU_PAUSE, "Pa&use"},
    {TEXT_MENU_RESUME, "Res&ume"},
    {TEXT_MENU_NEXT, "&Next track"},
    {TEXT_MENU_PREVIOUS, "Pre&vious track"},
    {TEXT_MENU_SELECT_TRACK, "Choose track nu&mber"},
    {TEXT_MENU_CLOSE_TRAY, "&Close the tray"},
    {TEXT_MENU_EJECT, "&Eject"},
    {TEXT_MENU_SETTINGS, "&Options"},
    {TEXT_MENU_EXIT, "E&xit"},
    {TEXT_NO_AUDIO_CD, "The audio CD cannot be used.\nqel ends."},
    {TEXT_NO_TCPIP, "TCP/IP cannot be used.\nqel ends."},
    {TEXT_PORT_IN_USE, "The TCP/IP port number is in use.\nPlease change the port number."},
    {TEXT_CANNOT_SET_UP, "The settings cannot be made. qel ends."},
    {TEXT_BAD_PORT_NAME, "The port name is not valid."},
    {TEXT_HOST_FORMAT, "Host: %s"},
    {TEXT_PORT_NOT_SAVED_FORMAT,
        "The port number could not be saved.\n%s\nThe next start will use the previous port number."},
    {TEXT_ALREADY_RUNNING, "qel is already running."},
};

// The English twin of a text (compared by content), or the text itself when it has none (an ASCII
// text such as TEXT_ERROR_TITLE).
inline const char* english_twin(const char* text)
{
    for (const TextTwin& twin : TEXT_TWINS) {
        size_t i = 0;
        while (twin.japanese[i] != '\0' && twin.japanese[i] == text[i]) {
            ++i;
        }
        if (twin.japanese[i] == text[i]) {
            return twin.english;
        }
    }
    return text;
}
