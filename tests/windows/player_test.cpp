// The player against the virtual drive: what the program sends to the device (read back from the
// drive's command log) and what it makes of the answers.
#include <windows.h>
#include <mmsystem.h>

#include <gtest/gtest.h>

#include "tests/windows/message_pump.h"
#include "tests/windows/refusing_timer.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/dispatch.h"
#include "app/waiting_commands.h"
#include "common/commands.h"
#include "common/messages.h"
#include "player/cd_device.h"
#include "player/status_text.h"
#include "server/control_server.h"

namespace {

constexpr DWORD DEADLINE_MS = 20000;

std::string drive_directory;
HWND window = nullptr;
UINT notices_successful = 0;

LRESULT CALLBACK notice_window_procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == MM_MCINOTIFY) {
        if (wparam == MCI_NOTIFY_SUCCESSFUL) {
            ++notices_successful;
        }
        on_mci_notify(wparam);
        return 0;
    }
    return DefWindowProcA(hwnd, message, wparam, lparam);
}

// A window that routes commands as the main window does: a command that waits behind a play being
// tried is kept, any other is carried out (here: written down).
std::vector<unsigned> carried_out;

LRESULT CALLBACK routing_window_procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_CLIENT_COMMAND && !keep_waiting(message, wparam, lparam)) {
        carried_out.push_back(LOWORD(wparam));
        return 0;
    }
    return DefWindowProcA(hwnd, message, wparam, lparam);
}

// The drive re-reads its settings whenever the file changes.
void write_disc(const std::string& settings)
{
    static int generation = 0;
    std::ofstream file(drive_directory + "\\disc.ini", std::ios::trunc);
    // A changing line, so that a rewrite with the same settings still counts as a change.
    file << "[disc]\n; generation " << ++generation << "\n" << settings;
    file.close();
    // The change is seen by modification time: make sure the next query sees a new one.
    HANDLE handle = CreateFileA(
        (drive_directory + "\\disc.ini").c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER stamp;
    stamp.LowPart = now.dwLowDateTime;
    stamp.HighPart = now.dwHighDateTime;
    stamp.QuadPart += static_cast<ULONGLONG>(generation) * 10000000ULL;
    now.dwLowDateTime = stamp.LowPart;
    now.dwHighDateTime = stamp.HighPart;
    SetFileTime(handle, nullptr, nullptr, &now);
    CloseHandle(handle);
    track_count();  // lets the drive take the new settings now
}

void clear_log()
{
    std::ofstream(drive_directory + "\\vcd.log", std::ios::trunc);
}

// The commands the drive received since the last clear_log, one per line.
std::vector<std::string> commands()
{
    std::ifstream file(drive_directory + "\\vcd.log");
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind("MCI_", 0) == 0) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::vector<std::string> commands_named(const std::string& name)
{
    std::vector<std::string> found;
    for (const std::string& line : commands()) {
        if (line.rfind(name + " ", 0) == 0) {
            found.push_back(line);
        }
    }
    return found;
}

bool has(const std::string& line, const std::string& field)
{
    return (" " + line + " ").find(" " + field + " ") != std::string::npos;
}

// A play as the program makes it: the first attempt, then another every PLAY_RETRY_PAUSE_MS from
// the message loop while the drive is not ready. True when the drive took it.
bool play_and_retry(int track)
{
    PlayAttempt attempt = begin_play(window, track);
    while (attempt == PlayAttempt::trying) {
        EXPECT_TRUE(play_in_progress());
        Sleep(PLAY_RETRY_PAUSE_MS);
        attempt = retry_play();
    }
    EXPECT_FALSE(play_in_progress());
    return attempt == PlayAttempt::started;
}

class Player : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        char directory[MAX_PATH];
        std::snprintf(directory, sizeof directory, "%splayer_test_%lu", temp, GetCurrentProcessId());
        CreateDirectoryA(directory, nullptr);
        drive_directory = directory;
        SetEnvironmentVariableA("VCD_DIR", directory);
        std::ofstream(drive_directory + "\\disc.ini") << "[disc]\ntracks=4:05,12:30,3:04\n";

        WNDCLASSA window_class = {};
        window_class.lpfnWndProc = notice_window_procedure;
        window_class.hInstance = GetModuleHandleA(nullptr);
        window_class.lpszClassName = "player_test";
        RegisterClassA(&window_class);
        window = CreateWindowExA(0, "player_test", "", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, nullptr, nullptr,
            GetModuleHandleA(nullptr), nullptr);
        ASSERT_TRUE(open_cd_device(window));
    }

    static void TearDownTestSuite()
    {
        close_cd_device(window);
        DestroyWindow(window);
    }

    void SetUp() override
    {
        write_disc("tracks=4:05,12:30,3:04\n");
        stop_playback(window);
        close_door(window);
        set_remembered_mode(MCI_MODE_STOP);
        clear_log();
    }
};

TEST_F(Player, OpensShareableAndKeepsTmsf)
{
    close_cd_device(window);
    clear_log();
    ASSERT_TRUE(open_cd_device(window));
    const std::vector<std::string> sent = commands();
    ASSERT_GE(sent.size(), 2u);
    EXPECT_TRUE(
        has(sent[0], "flags=MCI_OPEN_SHAREABLE|MCI_OPEN_TYPE") || sent[0].find("SHAREABLE") != std::string::npos)
        << sent[0];
    EXPECT_TRUE(has(sent.back(), "flags=MCI_SET_TIME_FORMAT")) << sent.back();
    EXPECT_TRUE(has(sent.back(), "time_format=MCI_FORMAT_TMSF")) << sent.back();
}

TEST_F(Player, PlayWithTheDoorOpenClosesItWaitingFirst)
{
    open_door(window);
    ASSERT_EQ(query_mode(), static_cast<DWORD>(MCI_MODE_OPEN));
    clear_log();

    play_and_retry(2);

    const std::vector<std::string> sets = commands_named("MCI_SET");
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_TRUE(has(sets[0], "flags=MCI_WAIT|MCI_SET_DOOR_CLOSED")) << sets[0];
    const std::vector<std::string> plays = commands_named("MCI_PLAY");
    ASSERT_EQ(plays.size(), 1u);
    EXPECT_TRUE(has(plays[0], "flags=MCI_NOTIFY|MCI_FROM")) << plays[0];
    EXPECT_TRUE(has(plays[0], "from=0x00000002")) << plays[0];
    EXPECT_TRUE(has(plays[0], "result=0")) << plays[0];
    EXPECT_EQ(query_mode(), static_cast<DWORD>(MCI_MODE_PLAY));
}

TEST_F(Player, APlayIsRetriedWhileTheDriveRefusesIt)
{
    write_disc("tracks=4:05,12:30,3:04\nfail_plays=3\n");
    clear_log();
    play_and_retry(1);
    const std::vector<std::string> plays = commands_named("MCI_PLAY");
    ASSERT_EQ(plays.size(), 4u);
    EXPECT_TRUE(has(plays[3], "result=0")) << plays[3];
}

TEST_F(Player, APlayThatKeepsFailingGivesUpAfterAboutTenSecondsAndDoesNotReadAsPlaying)
{
    write_disc("tracks=4:05,12:30,3:04\nfail_all_plays=1\n");
    clear_log();
    const DWORD start = GetTickCount();
    // The first attempt returns at once: the program goes on with its messages meanwhile.
    ASSERT_EQ(begin_play(window, 1), PlayAttempt::trying);
    EXPECT_LT(GetTickCount() - start, 2000u);
    PlayAttempt attempt = PlayAttempt::trying;
    while (attempt == PlayAttempt::trying && GetTickCount() - start < 30000) {
        Sleep(PLAY_RETRY_PAUSE_MS);
        attempt = retry_play();
    }
    EXPECT_EQ(attempt, PlayAttempt::failed);
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 10000u);
    EXPECT_LT(elapsed, 15000u);
    EXPECT_GT(commands_named("MCI_PLAY").size(), 50u);
    // The device stands still: nothing plays, so no position is shown.
    EXPECT_EQ(status_text_brief(), static_cast<DWORD>(MCI_MODE_STOP));
    EXPECT_STREQ(status_text, "pause");
}

// A system out of resources refuses a timer: then nothing may be left waiting for it for good.
TEST_F(Player, WithoutItsTimerNeitherAPlayNorTheCommandsBehindItWaitForEver)
{
    write_disc("tracks=4:05,12:30,3:04\nfail_all_plays=1\n");
    {
        // The play's retry timer is refused: the play is settled at once with what the drive does.
        const Refusal refusal;
        const DWORD start = GetTickCount();
        on_command(window, CMD_PLAY, 2, REPLY_TO_CURRENT);
        EXPECT_FALSE(play_in_progress());
        EXPECT_LT(GetTickCount() - start, 2000u);
        EXPECT_STREQ(status_text, "pause");
    }

    // Commands kept behind a play being tried: once it is over and the timer that would carry
    // them out is refused, they are carried out at once, in order.
    WNDCLASSA window_class = {};
    window_class.lpfnWndProc = routing_window_procedure;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.lpszClassName = "player_test_routing";
    RegisterClassA(&window_class);
    const HWND router = CreateWindowExA(0, "player_test_routing", "", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, nullptr, nullptr,
        GetModuleHandleA(nullptr), nullptr);
    carried_out.clear();
    ASSERT_EQ(begin_play(window, 1), PlayAttempt::trying);
    SendMessageA(router, WM_CLIENT_COMMAND, MAKEWPARAM(CMD_STATUS, 7), 0);
    SendMessageA(router, WM_CLIENT_COMMAND, MAKEWPARAM(CMD_TRACK_LIST, 7), 0);
    EXPECT_TRUE(carried_out.empty()) << "they wait while the play is tried";
    give_up_play();
    {
        const Refusal refusal;
        release_waiting_soon(router);
    }
    EXPECT_EQ(carried_out, (std::vector<unsigned>{CMD_STATUS, CMD_TRACK_LIST}));
    DestroyWindow(router);
    pump();
}

// Drives that load a disc after the door closes: Windows' answer while it becomes ready, and
// Wine's mcicda over a drive that says "medium not present" meanwhile (mode OPEN, status fails).
TEST_F(Player, APlayWithTheDoorOpenWaitsForTheDiscToLoad)
{
    for (const char* kind : {"not_ready", "open", "refuse"}) {
        SCOPED_TRACE(kind);
        write_disc(std::string("tracks=4:05,12:30,3:04\nload_ms=1500\nload_kind=") + kind + "\n");
        open_door(window);
        clear_log();
        // The door closes at once; the disc's loading is waited for by attempts, not in one call.
        const DWORD start = GetTickCount();
        PlayAttempt attempt = begin_play(window, 2);
        EXPECT_EQ(attempt, PlayAttempt::trying);
        EXPECT_LT(GetTickCount() - start, 1000u);
        while (attempt == PlayAttempt::trying) {
            Sleep(PLAY_RETRY_PAUSE_MS);
            attempt = retry_play();
        }
        EXPECT_EQ(attempt, PlayAttempt::started);
        const std::vector<std::string> plays = commands_named("MCI_PLAY");
        ASSERT_FALSE(plays.empty());
        EXPECT_TRUE(has(plays.back(), "from=0x00000002")) << plays.back();
        EXPECT_TRUE(has(plays.back(), "result=0")) << plays.back();
        EXPECT_EQ(query_mode(), static_cast<DWORD>(MCI_MODE_PLAY));
        EXPECT_EQ(current_track(), 2);
        stop_playback(window);
    }
}

// A drive that has taken a play may report STOP while it seeks: that play has not ended.
TEST_F(Player, APlayStillStartingReadsAsPlaying)
{
    write_disc("tracks=4:05,12:30,3:04\nstart_ms=60000\n");
    EXPECT_TRUE(play_and_retry(2));
    EXPECT_EQ(status_text_brief(), static_cast<DWORD>(MCI_MODE_PLAY));
    EXPECT_STREQ(status_text, "2(0:0)");
    next_track(window);
    EXPECT_EQ(query_mode(), static_cast<DWORD>(MCI_MODE_PLAY));
}

TEST_F(Player, ATrackTheDiscDoesNotHaveIsNotRetried)
{
    clear_log();
    const DWORD start = GetTickCount();
    play_and_retry(9);
    play_and_retry(0);
    play_and_retry(-2);  // -1 is the current position; other negative numbers name no track
    EXPECT_LT(GetTickCount() - start, 5000u);
    EXPECT_TRUE(commands_named("MCI_PLAY").empty());
}

TEST_F(Player, AStoppedDeviceReadsAsTheRememberedMode)
{
    write_disc("tracks=4:05,12:30,3:04\nstop_after_pause=1\n");
    play_and_retry(1);
    pause_playback(window);
    EXPECT_EQ(query_mode(), static_cast<DWORD>(MCI_MODE_PAUSE));

    resume_playback(window);
    EXPECT_EQ(query_mode(), static_cast<DWORD>(MCI_MODE_PLAY));
    const std::vector<std::string> plays = commands_named("MCI_PLAY");
    ASSERT_EQ(plays.size(), 2u);
    EXPECT_TRUE(has(plays[1], "flags=MCI_NOTIFY")) << "a resume never passes a position: " << plays[1];

    stop_playback(window);
    set_remembered_mode(MCI_MODE_STOP);
    EXPECT_EQ(query_mode(), static_cast<DWORD>(MCI_MODE_STOP));
}

TEST_F(Player, NextAndPreviousPlayOnWithoutAskingToBeNotified)
{
    play_and_retry(2);
    clear_log();
    next_track(window);
    previous_track(window);
    const std::vector<std::string> plays = commands_named("MCI_PLAY");
    ASSERT_EQ(plays.size(), 2u);
    EXPECT_TRUE(has(plays[0], "flags=MCI_FROM")) << plays[0];
    EXPECT_TRUE(has(plays[0], "from=0x00000003")) << plays[0];
    EXPECT_TRUE(has(plays[1], "flags=MCI_FROM")) << plays[1];
    EXPECT_TRUE(has(plays[1], "from=0x00000002")) << plays[1];
}

TEST_F(Player, NextOnTheLastTrackKeepsPlaying)
{
    play_and_retry(3);
    clear_log();
    next_track(window);
    EXPECT_TRUE(commands_named("MCI_PLAY").empty());
    EXPECT_EQ(current_track(), 3);
    EXPECT_EQ(query_mode(), static_cast<DWORD>(MCI_MODE_PLAY));
}

TEST_F(Player, StatusTextsFollowTheMode)
{
    // Stopped: the brief rule says "pause", the timer's rule "stop".
    EXPECT_EQ(status_text_brief(), static_cast<DWORD>(MCI_MODE_STOP));
    EXPECT_STREQ(status_text, "pause");
    EXPECT_EQ(status_text_timer(), static_cast<DWORD>(MCI_MODE_STOP));
    EXPECT_STREQ(status_text, "stop");

    play_and_retry(2);
    EXPECT_EQ(status_text_brief(), static_cast<DWORD>(MCI_MODE_PLAY));
    EXPECT_EQ(std::string(status_text).rfind("2(0:", 0), 0u) << status_text;

    open_door(window);
    EXPECT_EQ(status_text_timer(), static_cast<DWORD>(MCI_MODE_OPEN));
    EXPECT_STREQ(status_text, "open");
}

TEST_F(Player, TheTrackListIsBuiltInMsfAndLeavesTmsf)
{
    char list[TRACK_LIST_SIZE];
    build_track_list(list);
    EXPECT_STREQ(list, " 01. (4:05)\n 02. (12:30)\n 03. (3:04)\n");

    const std::vector<std::string> sets = commands_named("MCI_SET");
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_TRUE(has(sets[0], "time_format=MCI_FORMAT_MSF")) << sets[0];
    EXPECT_TRUE(has(sets[1], "time_format=MCI_FORMAT_TMSF")) << sets[1];

    play_and_retry(3);
    char position[STATUS_TEXT_SIZE];
    format_position(position);
    EXPECT_EQ(std::string(position).rfind("3(0:", 0), 0u) << position;
}

TEST_F(Player, ALongTrackListEndsAtAWholeLine)
{
    std::string tracks = "tracks=";
    for (int i = 0; i < 80; ++i) {
        tracks += i == 0 ? "10:00" : ",10:00";
    }
    write_disc(tracks + "\n");
    char list[TRACK_LIST_SIZE];
    build_track_list(list);
    const std::string text = list;
    EXPECT_EQ(text.size(), 76u * 13u);
    EXPECT_EQ(text.substr(text.size() - 13), " 76. (10:00)\n");
}

TEST_F(Player, NoDiscGivesAnEmptyListAndNoPlay)
{
    write_disc("tracks=4:05,12:30,3:04\ndisc=0\n");
    EXPECT_EQ(track_count(), 0);
    char list[TRACK_LIST_SIZE];
    build_track_list(list);
    EXPECT_STREQ(list, "");
    EXPECT_EQ(status_text_brief(), static_cast<DWORD>(MCI_MODE_NOT_READY));
    EXPECT_STREQ(status_text, "pause");
}

TEST_F(Player, TheEndOfTheDiscResetsTheRememberedMode)
{
    write_disc("tracks=0:02,0:03\nspeed=20\nnotify_end=1\n");
    const UINT before = notices_successful;
    play_and_retry(1);
    ASSERT_TRUE(pump_until([&] { return notices_successful > before; }));
    EXPECT_EQ(query_mode(), static_cast<DWORD>(MCI_MODE_STOP));
}

// Whether a line the drive logged since the last clear_log holds text.
bool drive_logged(const std::string& text)
{
    std::ifstream file(drive_directory + "\\vcd.log");
    std::string line;
    while (std::getline(file, line)) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// Windows' cdaudio sends no notice when a play runs to its end: the stopped drive tells it. The
// last track is two seconds long, and the first ten minutes, so a stalled test still goes next
// from track 1.
TEST_F(Player, TheEndOfTheDiscIsSeenWithoutANoticeAfterPlayAndAfterNext)
{
    for (const bool after_next : {false, true}) {
        SCOPED_TRACE(after_next ? "after next" : "after play");
        write_disc("tracks=10:00,0:02\n");
        clear_log();
        ASSERT_TRUE(play_and_retry(after_next ? 1 : 2));
        if (after_next) {
            next_track(window);
        }
        EXPECT_EQ(current_track(), 2);
        EXPECT_EQ(query_mode(), static_cast<DWORD>(MCI_MODE_PLAY));
        ASSERT_TRUE(pump_until([] { return drive_logged("END "); }));
        EXPECT_TRUE(pump_until([] { return query_mode() == MCI_MODE_STOP; }));
        EXPECT_FALSE(drive_logged("code=MCI_NOTIFY_SUCCESSFUL"));
        EXPECT_EQ(status_text_brief(), static_cast<DWORD>(MCI_MODE_STOP));
        EXPECT_STREQ(status_text, "pause");
    }
}

// Opening the door by hand notifies nothing either. The play is not asked about before the door
// opens: an open door ends even a play that has not been seen playing yet.
TEST_F(Player, ADoorOpenedByHandWhilePlayingEndsThePlay)
{
    ASSERT_TRUE(play_and_retry(1));
    write_disc("tracks=4:05,12:30,3:04\ndoor=open\n");
    EXPECT_EQ(query_mode(), static_cast<DWORD>(MCI_MODE_OPEN));
    write_disc("tracks=4:05,12:30,3:04\n");
    EXPECT_EQ(status_text_brief(), static_cast<DWORD>(MCI_MODE_STOP));
    EXPECT_STREQ(status_text, "pause");
}

}  // namespace
