// The virtual CD drive, driven the way the program drives a drive: mciSendCommandA on "CDAudio".
// Each test gives the drive its own directory (VCD_DIR) with its own disc.ini and vcd.log.
#include <gtest/gtest.h>

#include <windows.h>
#include <mmsystem.h>

#include <string>
#include <vector>

namespace {

constexpr DWORD DEADLINE_MS = 30000;
constexpr DWORD SENTINEL = 0xFEEDABAD;
// A disc of three seconds' audio at twenty times normal speed ends within a fraction of a second.
constexpr const char* SHORT_DISC = "[disc]\ntracks=0:02,0:01\nspeed=20\n";
// The same disc on a drive that tells of a play's end, which Windows' cdaudio never does.
constexpr const char* SHORT_NOTIFYING_DISC = "[disc]\ntracks=0:02,0:01\nspeed=20\nnotify_end=1\n";
constexpr DWORD SHORT_DISC_END_MSF = MCI_MAKE_MSF(0, 5, 0);  // 2 s lead-in + 3 s of tracks
constexpr const char* LONG_DISC = "[disc]\ntracks=4:05,12:30,3:04\n";

struct Notification {
    WPARAM code;
    LPARAM device;
};

std::vector<Notification> notifications;

LRESULT CALLBACK notify_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == MM_MCINOTIFY) {
        notifications.push_back({wparam, lparam});
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

HWND make_notify_window()
{
    WNDCLASSA wc{};
    wc.lpfnWndProc = notify_window_proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "vcd_test_notify";
    RegisterClassA(&wc);  // fails harmlessly when a previous test registered it
    return CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
}

void pump_messages()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageA(&msg);
    }
}

// Pumps messages until count notifications have arrived or the deadline passes.
bool wait_for_notifications(size_t count)
{
    const ULONGLONG deadline = GetTickCount64() + DEADLINE_MS;
    for (;;) {
        pump_messages();
        if (notifications.size() >= count) {
            return true;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now), QS_ALLINPUT);
    }
}

class VirtualDrive : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int counter = 0;
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        snprintf(dir_, sizeof dir_, "%svcd_test_%lu_%d", temp, GetCurrentProcessId(), ++counter);
        CreateDirectoryA(dir_, nullptr);
        use_directory(dir_);
        window_ = make_notify_window();
        ASSERT_NE(window_, nullptr);
        notifications.clear();
    }

    void TearDown() override
    {
        if (device_ != 0) {
            mciSendCommandA(device_, MCI_CLOSE, 0, 0);
        }
        DestroyWindow(window_);
        pump_messages();
        for (const char* name : {"disc.ini", "vcd.log"}) {
            DeleteFileA(path(name).c_str());
        }
        RemoveDirectoryA(dir_);
        SetEnvironmentVariableA("VCD_DIR", nullptr);
    }

    void use_directory(const char* directory) { SetEnvironmentVariableA("VCD_DIR", directory); }

    std::string path(const char* name) const { return std::string(dir_) + "\\" + name; }

    // Replaces disc.ini whole, so that the drive never reads half a file.
    void write_ini(const char* text)
    {
        const std::string tmp = path("disc.ini.tmp");
        HANDLE f = CreateFileA(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(f, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        WriteFile(f, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
        CloseHandle(f);
        // The drive reads the file now and then; a replacement that meets a read is tried again.
        const DWORD start = GetTickCount();
        while (!MoveFileExA(tmp.c_str(), path("disc.ini").c_str(), MOVEFILE_REPLACE_EXISTING)) {
            ASSERT_LT(GetTickCount() - start, 5000u) << "disc.ini stays locked, error " << GetLastError();
            Sleep(10);
        }
    }

    MCIERROR open_drive()
    {
        MCI_OPEN_PARMSA parms{};
        parms.lpstrDeviceType = "CDAudio";
        const MCIERROR err =
            mciSendCommandA(0, MCI_OPEN, MCI_OPEN_TYPE | MCI_OPEN_SHAREABLE, reinterpret_cast<DWORD_PTR>(&parms));
        if (err == 0) {
            device_ = parms.wDeviceID;
        }
        return err;
    }

    void open_with(const char* ini)
    {
        write_ini(ini);
        ASSERT_EQ(open_drive(), 0u);
    }

    MCIERROR status(DWORD item, DWORD* value, DWORD flags = 0, DWORD track = 0)
    {
        MCI_STATUS_PARMS parms{};
        parms.dwItem = item;
        parms.dwTrack = track;
        parms.dwReturn = SENTINEL;
        const MCIERROR err =
            mciSendCommandA(device_, MCI_STATUS, MCI_STATUS_ITEM | flags, reinterpret_cast<DWORD_PTR>(&parms));
        *value = static_cast<DWORD>(parms.dwReturn);
        return err;
    }

    DWORD status_ok(DWORD item, DWORD flags = 0, DWORD track = 0)
    {
        DWORD value = 0;
        EXPECT_EQ(status(item, &value, flags, track), 0u) << "status item " << item;
        return value;
    }

    DWORD mode() { return status_ok(MCI_STATUS_MODE); }
    DWORD position() { return status_ok(MCI_STATUS_POSITION); }

    MCIERROR set(DWORD flags, DWORD time_format = 0)
    {
        MCI_SET_PARMS parms{};
        parms.dwCallback = reinterpret_cast<DWORD_PTR>(window_);
        parms.dwTimeFormat = time_format;
        return mciSendCommandA(device_, MCI_SET, flags, reinterpret_cast<DWORD_PTR>(&parms));
    }

    MCIERROR play(DWORD flags, DWORD from = 0, DWORD to = 0)
    {
        MCI_PLAY_PARMS parms{};
        parms.dwCallback = reinterpret_cast<DWORD_PTR>(window_);
        parms.dwFrom = from;
        parms.dwTo = to;
        return mciSendCommandA(device_, MCI_PLAY, flags, reinterpret_cast<DWORD_PTR>(&parms));
    }

    MCIERROR simple(UINT command, DWORD flags = 0)
    {
        MCI_GENERIC_PARMS parms{};
        parms.dwCallback = reinterpret_cast<DWORD_PTR>(window_);
        return mciSendCommandA(device_, command, flags, reinterpret_cast<DWORD_PTR>(&parms));
    }

    MCIERROR seek(DWORD flags, DWORD to = 0)
    {
        MCI_SEEK_PARMS parms{};
        parms.dwCallback = reinterpret_cast<DWORD_PTR>(window_);
        parms.dwTo = to;
        return mciSendCommandA(device_, MCI_SEEK, flags, reinterpret_cast<DWORD_PTR>(&parms));
    }

    // Polls the drive's mode until it is expected or the deadline passes.
    bool wait_for_mode(DWORD expected)
    {
        const ULONGLONG deadline = GetTickCount64() + DEADLINE_MS;
        while (GetTickCount64() < deadline) {
            pump_messages();
            if (mode() == expected) {
                return true;
            }
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        }
        return false;
    }

    // Positions compare as numbers only in milliseconds: MSF keeps minutes in the lowest byte.
    bool wait_for_position_past(DWORD milliseconds)
    {
        const ULONGLONG deadline = GetTickCount64() + DEADLINE_MS;
        while (GetTickCount64() < deadline) {
            if (position() > milliseconds) {
                return true;
            }
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        }
        return false;
    }

    // The log's lines that start with prefix.
    std::vector<std::string> log_lines(const char* prefix)
    {
        std::vector<std::string> lines;
        constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        HANDLE f = CreateFileA(
            path("vcd.log").c_str(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f == INVALID_HANDLE_VALUE) {
            return lines;
        }
        std::string text;
        char buffer[4096];
        DWORD n = 0;
        while (ReadFile(f, buffer, sizeof buffer, &n, nullptr) && n > 0) {
            text.append(buffer, n);
        }
        CloseHandle(f);
        size_t at = 0;
        while (at < text.size()) {
            size_t end = text.find('\n', at);
            if (end == std::string::npos) {
                end = text.size();
            }
            std::string line = text.substr(at, end - at);
            if (line.rfind(prefix, 0) == 0) {
                lines.push_back(line);
            }
            at = end + 1;
        }
        return lines;
    }

    char dir_[MAX_PATH]{};
    HWND window_ = nullptr;
    MCIDEVICEID device_ = 0;
};

// ---- the disc as the program sees it ----

TEST_F(VirtualDrive, ReportsTracksAndLengthsFromDiscIni)
{
    open_with(LONG_DISC);
    ASSERT_EQ(set(MCI_SET_TIME_FORMAT, MCI_FORMAT_MSF), 0u);
    EXPECT_EQ(status_ok(MCI_STATUS_NUMBER_OF_TRACKS), 3u);
    EXPECT_EQ(status_ok(MCI_STATUS_LENGTH, MCI_TRACK, 1), MCI_MAKE_MSF(4, 5, 0));
    EXPECT_EQ(status_ok(MCI_STATUS_LENGTH, MCI_TRACK, 2), MCI_MAKE_MSF(12, 30, 0));
    EXPECT_EQ(status_ok(MCI_STATUS_LENGTH, MCI_TRACK, 3), MCI_MAKE_MSF(3, 4, 0));
    // Tracks follow each other from the two-second lead-in on.
    EXPECT_EQ(status_ok(MCI_STATUS_POSITION, MCI_TRACK, 1), MCI_MAKE_MSF(0, 2, 0));
    EXPECT_EQ(status_ok(MCI_STATUS_POSITION, MCI_TRACK, 2), MCI_MAKE_MSF(4, 7, 0));
    EXPECT_EQ(status_ok(MCI_STATUS_POSITION, MCI_TRACK, 3), MCI_MAKE_MSF(16, 37, 0));
    EXPECT_EQ(position(), MCI_MAKE_MSF(0, 2, 0));
    EXPECT_EQ(status_ok(MCI_STATUS_CURRENT_TRACK), 1u);
    EXPECT_EQ(mode(), static_cast<DWORD>(MCI_MODE_STOP));
    EXPECT_EQ(status_ok(MCI_STATUS_MEDIA_PRESENT), static_cast<DWORD>(TRUE));
}

TEST_F(VirtualDrive, AnswersInEachTimeFormat)
{
    open_with(LONG_DISC);
    ASSERT_EQ(set(MCI_SET_TIME_FORMAT, MCI_FORMAT_TMSF), 0u);
    EXPECT_EQ(status_ok(MCI_STATUS_TIME_FORMAT), static_cast<DWORD>(MCI_FORMAT_TMSF));
    EXPECT_EQ(status_ok(MCI_STATUS_POSITION, MCI_TRACK, 2), MCI_MAKE_TMSF(2, 0, 0, 0));
    EXPECT_EQ(position(), MCI_MAKE_TMSF(1, 0, 0, 0));
    // Lengths stay MSF in TMSF, as drives report them.
    EXPECT_EQ(status_ok(MCI_STATUS_LENGTH, MCI_TRACK, 2), MCI_MAKE_MSF(12, 30, 0));
    ASSERT_EQ(seek(MCI_TO, MCI_MAKE_TMSF(2, 1, 2, 3)), 0u);
    EXPECT_EQ(position(), MCI_MAKE_TMSF(2, 1, 2, 3));
    EXPECT_EQ(status_ok(MCI_STATUS_CURRENT_TRACK), 2u);

    ASSERT_EQ(set(MCI_SET_TIME_FORMAT, MCI_FORMAT_MILLISECONDS), 0u);
    EXPECT_EQ(status_ok(MCI_STATUS_LENGTH, MCI_TRACK, 1), 245000u);
    EXPECT_EQ(status_ok(MCI_STATUS_POSITION, MCI_TRACK, 1), 2000u);
    EXPECT_EQ(set(MCI_SET_TIME_FORMAT, MCI_FORMAT_SMPTE_25), static_cast<MCIERROR>(MCIERR_BAD_TIME_FORMAT));
}

TEST_F(VirtualDrive, UsesTheDemoDiscWithoutDiscIni)
{
    ASSERT_EQ(open_drive(), 0u);
    EXPECT_EQ(status_ok(MCI_STATUS_NUMBER_OF_TRACKS), 10u);
}

TEST_F(VirtualDrive, AcceptsAUnixDirectory)
{
    // Wine hands programs the Unix environment, so VCD_DIR may be a Unix path reached through Z:.
    char windows_dir[MAX_PATH];
    snprintf(windows_dir, sizeof windows_dir, "Z:\\tmp\\vcd_test_unix_%lu", GetCurrentProcessId());
    if (!CreateDirectoryA(windows_dir, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        GTEST_SKIP() << "no Unix root on Z:";
    }
    const std::string ini = std::string(windows_dir) + "\\disc.ini";
    HANDLE f = CreateFileA(ini.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(f, LONG_DISC, static_cast<DWORD>(strlen(LONG_DISC)), &written, nullptr);
    CloseHandle(f);
    use_directory((std::string("/tmp/vcd_test_unix_") + std::to_string(GetCurrentProcessId())).c_str());
    const MCIERROR err = open_drive();
    const DWORD tracks = err == 0 ? status_ok(MCI_STATUS_NUMBER_OF_TRACKS) : 0;
    DeleteFileA(ini.c_str());
    DeleteFileA((std::string(windows_dir) + "\\vcd.log").c_str());
    RemoveDirectoryA(windows_dir);
    ASSERT_EQ(err, 0u);
    EXPECT_EQ(tracks, 3u);
}

// ---- errors fill in nothing ----

TEST_F(VirtualDrive, NonexistentTrackIsOutOfRangeAndLeavesReturnUntouched)
{
    open_with(LONG_DISC);
    for (DWORD track : {0u, 4u}) {
        for (DWORD item : {static_cast<DWORD>(MCI_STATUS_LENGTH), static_cast<DWORD>(MCI_STATUS_POSITION)}) {
            DWORD value = 0;
            EXPECT_EQ(status(item, &value, MCI_TRACK, track), static_cast<MCIERROR>(MCIERR_OUTOFRANGE));
            EXPECT_EQ(value, SENTINEL) << "track " << track << " item " << item;
        }
    }
    ASSERT_EQ(set(MCI_SET_TIME_FORMAT, MCI_FORMAT_TMSF), 0u);
    EXPECT_EQ(play(MCI_FROM, MCI_MAKE_TMSF(4, 0, 0, 0)), static_cast<MCIERROR>(MCIERR_OUTOFRANGE));
    EXPECT_EQ(mode(), static_cast<DWORD>(MCI_MODE_STOP));
}

TEST_F(VirtualDrive, QueriesAndPlaysFailWithTheDoorOpenOrNoDisc)
{
    open_with(LONG_DISC);
    ASSERT_EQ(set(MCI_SET_DOOR_OPEN), 0u);
    EXPECT_EQ(mode(), static_cast<DWORD>(MCI_MODE_OPEN));
    EXPECT_EQ(status_ok(MCI_STATUS_MEDIA_PRESENT), static_cast<DWORD>(FALSE));
    DWORD value = 0;
    EXPECT_EQ(status(MCI_STATUS_NUMBER_OF_TRACKS, &value), static_cast<MCIERROR>(MCIERR_DEVICE_NOT_READY));
    EXPECT_EQ(value, SENTINEL);
    EXPECT_EQ(status(MCI_STATUS_POSITION, &value), static_cast<MCIERROR>(MCIERR_DEVICE_NOT_READY));
    EXPECT_EQ(value, SENTINEL);
    EXPECT_NE(play(0), 0u);

    write_ini("[disc]\ndisc=0\n");
    ASSERT_EQ(set(MCI_SET_DOOR_CLOSED), 0u);
    EXPECT_TRUE(wait_for_mode(MCI_MODE_NOT_READY));
    EXPECT_EQ(status_ok(MCI_STATUS_MEDIA_PRESENT), static_cast<DWORD>(FALSE));
    EXPECT_EQ(status(MCI_STATUS_NUMBER_OF_TRACKS, &value), static_cast<MCIERROR>(MCIERR_DEVICE_NOT_READY));
    EXPECT_EQ(value, SENTINEL);
    EXPECT_NE(play(0), 0u);
}

TEST_F(VirtualDrive, DriveZeroMakesTheOpenFail)
{
    write_ini("[disc]\ndrive=0\n");
    EXPECT_EQ(open_drive(), static_cast<MCIERROR>(MCIERR_CANNOT_LOAD_DRIVER));
    // The setting belongs to the drive's open; with it back the program can open again.
    write_ini("[disc]\ndrive=1\n");
    EXPECT_EQ(open_drive(), 0u);
}

// ---- the door ----

TEST_F(VirtualDrive, DoorOpensAndClosesWithAndWithoutWait)
{
    open_with(LONG_DISC);
    for (DWORD wait : {DWORD{0}, DWORD{MCI_WAIT}}) {
        ASSERT_EQ(set(MCI_SET_DOOR_OPEN | wait), 0u);
        EXPECT_EQ(mode(), static_cast<DWORD>(MCI_MODE_OPEN));
        ASSERT_EQ(set(MCI_SET_DOOR_CLOSED | wait), 0u);
        EXPECT_EQ(mode(), static_cast<DWORD>(MCI_MODE_STOP));
    }
    const std::vector<std::string> sets = log_lines("MCI_SET ");
    ASSERT_EQ(sets.size(), 4u);
    const std::string dev = "dev=" + std::to_string(device_);
    EXPECT_EQ(sets[0], "MCI_SET " + dev + " flags=MCI_SET_DOOR_OPEN result=0");
    EXPECT_EQ(sets[3], "MCI_SET " + dev + " flags=MCI_WAIT|MCI_SET_DOOR_CLOSED result=0");
}

TEST_F(VirtualDrive, DoorKeyInDiscIniActsLikeTheButton)
{
    open_with(LONG_DISC);
    ASSERT_EQ(play(MCI_NOTIFY), 0u);
    write_ini("[disc]\ntracks=4:05,12:30,3:04\ndoor=open\n");
    ASSERT_TRUE(wait_for_notifications(1));
    EXPECT_EQ(notifications[0].code, static_cast<WPARAM>(MCI_NOTIFY_ABORTED));
    EXPECT_EQ(mode(), static_cast<DWORD>(MCI_MODE_OPEN));
    write_ini("[disc]\ntracks=4:05,12:30,3:04\ndoor=closed\n");
    EXPECT_TRUE(wait_for_mode(MCI_MODE_STOP));
}

// ---- playing ----

TEST_F(VirtualDrive, NotifyingPlayReachesTheWindowAtTheEndOfTheDisc)
{
    open_with(SHORT_NOTIFYING_DISC);
    ASSERT_EQ(set(MCI_SET_TIME_FORMAT, MCI_FORMAT_MSF), 0u);
    ASSERT_EQ(play(MCI_NOTIFY), 0u);
    // Nothing asks the drive anything while waiting: the end must be noticed by the drive itself.
    ASSERT_TRUE(wait_for_notifications(1));
    EXPECT_EQ(notifications[0].code, static_cast<WPARAM>(MCI_NOTIFY_SUCCESSFUL));
    EXPECT_EQ(notifications[0].device, static_cast<LPARAM>(device_));
    EXPECT_EQ(mode(), static_cast<DWORD>(MCI_MODE_STOP));
    EXPECT_EQ(position(), SHORT_DISC_END_MSF);
    EXPECT_EQ(status_ok(MCI_STATUS_CURRENT_TRACK), 2u);
}

TEST_F(VirtualDrive, PlayStopsAtItsToPosition)
{
    open_with(SHORT_NOTIFYING_DISC);
    ASSERT_EQ(set(MCI_SET_TIME_FORMAT, MCI_FORMAT_TMSF), 0u);
    ASSERT_EQ(play(MCI_FROM | MCI_TO | MCI_NOTIFY, MCI_MAKE_TMSF(1, 0, 1, 0), MCI_MAKE_TMSF(2, 0, 0, 0)), 0u);
    ASSERT_TRUE(wait_for_notifications(1));
    EXPECT_EQ(notifications[0].code, static_cast<WPARAM>(MCI_NOTIFY_SUCCESSFUL));
    EXPECT_EQ(position(), MCI_MAKE_TMSF(2, 0, 0, 0));
    EXPECT_EQ(mode(), static_cast<DWORD>(MCI_MODE_STOP));
    EXPECT_EQ(play(MCI_FROM | MCI_TO, MCI_MAKE_TMSF(2, 0, 0, 0), MCI_MAKE_TMSF(1, 0, 0, 0)),
        static_cast<MCIERROR>(MCIERR_OUTOFRANGE));
}

TEST_F(VirtualDrive, ByDefaultAPlayThatEndsLeavesItsNotificationPending)
{
    open_with(SHORT_DISC);
    ASSERT_EQ(play(MCI_NOTIFY), 0u);
    ASSERT_TRUE(wait_for_mode(MCI_MODE_STOP));
    EXPECT_EQ(position(), SHORT_DISC_END_MSF);
    pump_messages();
    EXPECT_TRUE(notifications.empty());
    // The next command that ends a play ends the pending notification.
    ASSERT_EQ(simple(MCI_STOP), 0u);
    ASSERT_TRUE(wait_for_notifications(1));
    EXPECT_EQ(notifications[0].code, static_cast<WPARAM>(MCI_NOTIFY_ABORTED));
}

TEST_F(VirtualDrive, ShortLastTrackCountsTheLastTrackAndTheDiscOneFrameShort)
{
    open_with("[disc]\ntracks=4:05,3:04\nshort_last_track=1\n");
    ASSERT_EQ(set(MCI_SET_TIME_FORMAT, MCI_FORMAT_TMSF), 0u);
    EXPECT_EQ(status_ok(MCI_STATUS_LENGTH, MCI_TRACK, 1), MCI_MAKE_MSF(4, 5, 0));
    EXPECT_EQ(status_ok(MCI_STATUS_LENGTH, MCI_TRACK, 2), MCI_MAKE_MSF(3, 3, 74));
    EXPECT_EQ(status_ok(MCI_STATUS_LENGTH), MCI_MAKE_MSF(7, 8, 74));
}

// load_ms long enough that no stall of the test outlasts it; writing load_ms=0 ends the load.
TEST_F(VirtualDrive, AfterTheDoorClosesTheDriveLoadsAsLoadKindSays)
{
    struct Kind {
        const char* name;
        DWORD mode;  // while loading
        bool reads_disc;  // the disc's status items answer while loading
    };
    for (const Kind& kind : {Kind{"not_ready", MCI_MODE_NOT_READY, false}, Kind{"open", MCI_MODE_OPEN, false},
             Kind{"refuse", MCI_MODE_STOP, true}}) {
        SCOPED_TRACE(kind.name);
        const std::string ini = std::string(LONG_DISC) + "load_kind=" + kind.name + "\n";
        write_ini((ini + "load_ms=60000\n").c_str());
        if (device_ == 0) {
            ASSERT_EQ(open_drive(), 0u);
            EXPECT_EQ(mode(), static_cast<DWORD>(MCI_MODE_STOP)) << "a drive just opened has its disc loaded";
        }
        ASSERT_EQ(set(MCI_SET_DOOR_OPEN), 0u);
        ASSERT_EQ(set(MCI_SET_DOOR_CLOSED | MCI_WAIT), 0u);
        EXPECT_EQ(mode(), kind.mode);
        DWORD value = 0;
        EXPECT_EQ(status(MCI_STATUS_NUMBER_OF_TRACKS, &value),
            kind.reads_disc ? 0u : static_cast<MCIERROR>(MCIERR_DEVICE_NOT_READY));
        EXPECT_EQ(play(MCI_FROM, MCI_MAKE_MSF(0, 2, 0)), static_cast<MCIERROR>(MCIERR_DEVICE_NOT_READY));
        write_ini((ini + "load_ms=0\n").c_str());
        EXPECT_TRUE(wait_for_mode(MCI_MODE_STOP));
        EXPECT_EQ(play(MCI_FROM, MCI_MAKE_MSF(0, 2, 0)), 0u);
        EXPECT_EQ(mode(), static_cast<DWORD>(MCI_MODE_PLAY));
        ASSERT_EQ(simple(MCI_STOP), 0u);
    }
}

TEST_F(VirtualDrive, APlayStillSeekingReportsStopAtItsStart)
{
    open_with("[disc]\ntracks=4:05,12:30,3:04\nstart_ms=60000\n");
    ASSERT_EQ(set(MCI_SET_TIME_FORMAT, MCI_FORMAT_TMSF), 0u);
    ASSERT_EQ(play(MCI_FROM, MCI_MAKE_TMSF(2, 0, 0, 0)), 0u);
    EXPECT_EQ(mode(), static_cast<DWORD>(MCI_MODE_STOP));
    EXPECT_EQ(position(), MCI_MAKE_TMSF(2, 0, 0, 0));
}

TEST_F(VirtualDrive, PlayWithWaitReturnsWhenTheDiscHasEnded)
{
    open_with(SHORT_DISC);
    ASSERT_EQ(play(MCI_WAIT), 0u);
    EXPECT_EQ(mode(), static_cast<DWORD>(MCI_MODE_STOP));
    EXPECT_EQ(position(), SHORT_DISC_END_MSF);
}

TEST_F(VirtualDrive, ResumeContinuesFromThePausedPosition)
{
    open_with(LONG_DISC);
    ASSERT_EQ(set(MCI_SET_TIME_FORMAT, MCI_FORMAT_MILLISECONDS), 0u);
    ASSERT_EQ(play(0), 0u);
    EXPECT_EQ(mode(), static_cast<DWORD>(MCI_MODE_PLAY));
    ASSERT_TRUE(wait_for_position_past(2100));
    const DWORD played_to = position();
    ASSERT_EQ(simple(MCI_PAUSE), 0u);
    const DWORD paused_at = position();
    EXPECT_GE(paused_at, played_to);
    // Windows' cdaudio reports a paused drive as stopped; by default so does this one.
    EXPECT_EQ(mode(), static_cast<DWORD>(MCI_MODE_STOP));
    // The position holds still while paused, for as long as one watches.
    const ULONGLONG until = GetTickCount64() + 300;
    while (GetTickCount64() < until) {
        ASSERT_EQ(position(), paused_at);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
    ASSERT_EQ(simple(MCI_RESUME), 0u);
    EXPECT_EQ(mode(), static_cast<DWORD>(MCI_MODE_PLAY));
    EXPECT_GE(position(), paused_at);
    EXPECT_TRUE(wait_for_position_past(paused_at));
    EXPECT_LT(position(), 30000u);
}

TEST_F(VirtualDrive, ReportsPauseWhenStopAfterPauseIsOff)
{
    open_with("[disc]\nstop_after_pause=0\n");
    ASSERT_EQ(play(0), 0u);
    ASSERT_EQ(simple(MCI_PAUSE), 0u);
    EXPECT_EQ(mode(), static_cast<DWORD>(MCI_MODE_PAUSE));
    ASSERT_EQ(simple(MCI_STOP), 0u);
    EXPECT_EQ(mode(), static_cast<DWORD>(MCI_MODE_STOP));
    EXPECT_EQ(simple(MCI_RESUME), static_cast<MCIERROR>(MCIERR_HARDWARE));
}

TEST_F(VirtualDrive, FailPlaysFailsThatManyPlaysEachTimeTheFileChanges)
{
    open_with("[disc]\nfail_plays=2\n");
    EXPECT_EQ(play(0), static_cast<MCIERROR>(MCIERR_HARDWARE));
    EXPECT_EQ(play(0), static_cast<MCIERROR>(MCIERR_HARDWARE));
    EXPECT_EQ(play(0), 0u);
    EXPECT_EQ(mode(), static_cast<DWORD>(MCI_MODE_PLAY));
    // The same text written again arms the counter again.
    write_ini("[disc]\nfail_plays=2\n");
    EXPECT_EQ(play(0), static_cast<MCIERROR>(MCIERR_HARDWARE));
    EXPECT_EQ(play(0), static_cast<MCIERROR>(MCIERR_HARDWARE));
    EXPECT_EQ(play(0), 0u);

    write_ini("[disc]\nfail_all_plays=1\n");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(play(0), static_cast<MCIERROR>(MCIERR_HARDWARE));
    }
}

// ---- notifications that do not succeed ----

TEST_F(VirtualDrive, AnotherPlayOrSeekSupersedesANotifyingPlay)
{
    open_with(LONG_DISC);
    ASSERT_EQ(play(MCI_NOTIFY), 0u);
    ASSERT_EQ(play(MCI_FROM | MCI_NOTIFY, MCI_MAKE_MSF(4, 7, 0)), 0u);
    ASSERT_EQ(seek(MCI_SEEK_TO_START), 0u);
    ASSERT_TRUE(wait_for_notifications(2));
    EXPECT_EQ(notifications[0].code, static_cast<WPARAM>(MCI_NOTIFY_SUPERSEDED));
    EXPECT_EQ(notifications[1].code, static_cast<WPARAM>(MCI_NOTIFY_SUPERSEDED));
    EXPECT_EQ(mode(), static_cast<DWORD>(MCI_MODE_STOP));
    EXPECT_EQ(position(), MCI_MAKE_MSF(0, 2, 0));
}

TEST_F(VirtualDrive, StopPauseAndDoorAbortANotifyingPlay)
{
    open_with(LONG_DISC);
    const std::vector<std::pair<UINT, DWORD>> interruptions = {
        {MCI_STOP, 0}, {MCI_PAUSE, 0}, {MCI_SET, MCI_SET_DOOR_OPEN}};
    for (const auto& [command, flags] : interruptions) {
        notifications.clear();
        ASSERT_EQ(set(MCI_SET_DOOR_CLOSED), 0u);
        ASSERT_EQ(play(MCI_NOTIFY), 0u);
        ASSERT_EQ(command == MCI_SET ? set(flags) : simple(command, flags), 0u);
        ASSERT_TRUE(wait_for_notifications(1)) << "command " << command;
        EXPECT_EQ(notifications[0].code, static_cast<WPARAM>(MCI_NOTIFY_ABORTED)) << "command " << command;
        EXPECT_NE(mode(), static_cast<DWORD>(MCI_MODE_PLAY));
    }
}

TEST_F(VirtualDrive, CommandThatCompletesAtOnceNotifiesSuccess)
{
    open_with(LONG_DISC);
    ASSERT_EQ(set(MCI_SET_TIME_FORMAT | MCI_NOTIFY, MCI_FORMAT_TMSF), 0u);
    ASSERT_TRUE(wait_for_notifications(1));
    EXPECT_EQ(notifications[0].code, static_cast<WPARAM>(MCI_NOTIFY_SUCCESSFUL));
}

// ---- the log ----

TEST_F(VirtualDrive, LogRecordsEachCommandWithItsFlagsAndParameters)
{
    open_with(SHORT_NOTIFYING_DISC);
    const std::string dev = "dev=" + std::to_string(device_);
    char callback[32];
    snprintf(callback, sizeof callback, "callback=0x%08llx",
        static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(window_)));
    ASSERT_EQ(set(MCI_SET_TIME_FORMAT, MCI_FORMAT_TMSF), 0u);
    DWORD value = 0;
    ASSERT_EQ(status(MCI_STATUS_POSITION, &value, MCI_TRACK | MCI_WAIT, 2), 0u);
    EXPECT_EQ(status(MCI_STATUS_LENGTH, &value, MCI_TRACK, 7), static_cast<MCIERROR>(MCIERR_OUTOFRANGE));
    ASSERT_EQ(play(MCI_FROM | MCI_NOTIFY, MCI_MAKE_TMSF(2, 0, 0, 0)), 0u);
    ASSERT_TRUE(wait_for_notifications(1));

    EXPECT_EQ(log_lines("MCI_OPEN_DRIVER").at(0),
        "MCI_OPEN_DRIVER " + dev + " flags=MCI_OPEN_SHAREABLE|MCI_OPEN_TYPE result=0");
    EXPECT_EQ(log_lines("MCI_SET").at(0),
        "MCI_SET " + dev + " flags=MCI_SET_TIME_FORMAT time_format=MCI_FORMAT_TMSF result=0");
    const std::vector<std::string> statuses = log_lines("MCI_STATUS");
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(statuses[0],
        "MCI_STATUS " + dev +
            " flags=MCI_WAIT|MCI_TRACK|MCI_STATUS_ITEM item=MCI_STATUS_POSITION track=2"
            " result=0 return=0x00000002");
    EXPECT_EQ(statuses[1],
        "MCI_STATUS " + dev +
            " flags=MCI_TRACK|MCI_STATUS_ITEM item=MCI_STATUS_LENGTH track=7"
            " result=282 error=MCIERR_OUTOFRANGE");
    EXPECT_EQ(log_lines("MCI_PLAY").at(0),
        "MCI_PLAY " + dev + " flags=MCI_NOTIFY|MCI_FROM from=0x00000002 " + callback + " result=0");
    EXPECT_EQ(log_lines("NOTIFY").at(0), "NOTIFY " + dev + " code=MCI_NOTIFY_SUCCESSFUL " + callback);
}

}  // namespace
