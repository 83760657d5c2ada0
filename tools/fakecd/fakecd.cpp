// The person at the faked CD-ROM drive: opens and closes its door, puts a disc in or takes it
// out, chooses the disc's tracks and the drive's character, and injects failures.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include "tools/fakecd/drive.h"
#include "tools/fakecd/drive_file.h"

namespace {

constexpr char USAGE[] =
    "usage: fakecd DEVICE [create] WORD...\n"
    "  create                 make DEVICE a drive: demo disc in, door closed, ready, normal speed\n"
    "WORDs are done in order, with the drive held:\n"
    "  open | close           push the door button (a closing door on a disc starts the spin-up)\n"
    "  insert | remove        put a disc into the open tray, take it out\n"
    "  tracks=4:05,3:30.12    the disc's track lengths, m:ss[.frames] (a new disc: playing stops)\n"
    "  speed=N                the audio clock runs N times faster (1 to 10000)\n"
    "  spinup=MS              after the door closes on a disc, not ready for MS milliseconds\n"
    "  spinup_kind=becoming|absent  held and retried as Linux's sr does, or ENOMEDIUM at once\n"
    "  retry=MS retries=N     sr's sleep and retries while a drive becomes ready (2000, 10)\n"
    "  fail=REQUEST:ERRNO[:COUNT]  REQUEST (play, subchnl, ... or any) fails COUNT times (-1: always)\n"
    "  fail=none              no more injected failures\n"
    "  show                   print the drive's state\n";

struct ErrnoName {
    const char* name;
    int value;
};

constexpr ErrnoName ERRNO_NAMES[] = {{"EIO", EIO}, {"ENOMEDIUM", ENOMEDIUM}, {"EBUSY", EBUSY}, {"EINVAL", EINVAL},
    {"ENXIO", ENXIO}, {"ETIMEDOUT", ETIMEDOUT}, {"EMEDIUMTYPE", EMEDIUMTYPE}};

bool parse_number(const char* text, long low, long high, long* value)
{
    char* end = nullptr;
    errno = 0;
    const long number = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || number < low || number > high) {
        return false;
    }
    *value = number;
    return true;
}

bool parse_errno(const char* text, int* value)
{
    for (const ErrnoName& e : ERRNO_NAMES) {
        if (strcmp(e.name, text) == 0) {
            *value = e.value;
            return true;
        }
    }
    long number = 0;
    if (!parse_number(text, 1, 4095, &number)) {
        return false;
    }
    *value = static_cast<int>(number);
    return true;
}

// fail=REQUEST:ERRNO[:COUNT] or fail=none
bool set_failure(fakecd::DriveState* drive, const char* text)
{
    if (strcmp(text, "none") == 0) {
        drive->fail_count = 0;
        return true;
    }
    char copy[64];
    if (strlen(text) >= sizeof(copy)) {
        return false;
    }
    strcpy(copy, text);
    char* request = strtok(copy, ":");
    char* error = strtok(nullptr, ":");
    char* count = strtok(nullptr, ":");
    if (request == nullptr || error == nullptr) {
        return false;
    }
    const bool any = strcmp(request, "any") == 0;
    const unsigned long code = any ? 0 : fakecd::request_by_name(request);
    long times = 1;
    int value = 0;
    if ((!any && code == 0) || !parse_errno(error, &value) ||
        (count != nullptr && !parse_number(count, -1, 1000000, &times))) {
        return false;
    }
    drive->fail_any = any ? 1 : 0;
    drive->fail_request = static_cast<uint32_t>(code);
    drive->fail_errno = value;
    drive->fail_count = static_cast<int32_t>(times);
    return true;
}

void print_tracks(const fakecd::DriveState* drive)
{
    for (int i = 0; i < drive->track_count; i++) {
        const int frames = drive->track_frames[i];
        const int seconds = frames / fakecd::FRAMES_PER_SECOND;
        printf("%s%d:%02d", i == 0 ? "" : ",", seconds / 60, seconds % 60);
        if (frames % fakecd::FRAMES_PER_SECOND != 0) {
            printf(".%d", frames % fakecd::FRAMES_PER_SECOND);
        }
    }
}

void show(fakecd::DriveState* drive, int64_t now)
{
    static const char* const AUDIO_NAMES[] = {"none", "play", "paused", "completed"};
    fakecd::drive_advance(drive, now);
    const int32_t frame = fakecd::head_position(drive, now);
    const bool spinning = drive->ready_at_ms != 0 && now < drive->ready_at_ms;
    printf("door=%s disc=%s ready=%s audio=%s track=%d position=%d tracks=", drive->door_open ? "open" : "closed",
        drive->disc_in ? "in" : "out",
        drive->door_open || !drive->disc_in ? "no"
            : spinning                      ? "spinning"
                                            : "yes",
        AUDIO_NAMES[drive->audio & 3], fakecd::track_at(drive, frame), frame);
    print_tracks(drive);
    printf(" speed=%d spinup=%d spinup_kind=%s retry=%d retries=%d fail=%s:%d:%d requests=%u\n", drive->speed,
        drive->spinup_ms, drive->spinup_kind == fakecd::SPINUP_NO_MEDIUM ? "absent" : "becoming", drive->retry_ms,
        drive->retries,
        drive->fail_any                ? "any"
            : drive->fail_request != 0 ? fakecd::request_name(drive->fail_request)
                                       : "none",
        drive->fail_errno, drive->fail_count, drive->ioctl_count);
}

// One word; false (with a message) when it cannot be done.
bool apply(fakecd::DriveState* drive, const char* word, int64_t now)
{
    const char* equals = strchr(word, '=');
    const size_t key_length = equals != nullptr ? static_cast<size_t>(equals - word) : strlen(word);
    const char* value = equals != nullptr ? equals + 1 : "";
    auto is = [&](const char* key) { return strlen(key) == key_length && strncmp(word, key, key_length) == 0; };
    long number = 0;
    if (equals == nullptr && is("open")) {
        fakecd::person_open_door(drive, now);
    } else if (equals == nullptr && is("close")) {
        fakecd::person_close_door(drive, now);
    } else if (equals == nullptr && (is("insert") || is("remove"))) {
        if (!drive->door_open) {
            fprintf(stderr, "fakecd: %s: the door is closed\n", word);
            return false;
        }
        drive->disc_in = is("insert") ? 1 : 0;
    } else if (equals == nullptr && is("show")) {
        show(drive, now);
    } else if (equals != nullptr && is("tracks")) {
        if (!fakecd::parse_tracks(value, drive)) {
            fprintf(stderr, "fakecd: %s: track lengths like 4:05,3:30.12 (1 to 99 tracks)\n", word);
            return false;
        }
        drive->audio = fakecd::AUDIO_IDLE;
        drive->position = fakecd::LEAD_IN_FRAMES;
    } else if (equals != nullptr && is("speed") && parse_number(value, 1, 10000, &number)) {
        // From now on at the new speed, from where the head is.
        fakecd::drive_advance(drive, now);
        drive->position = fakecd::head_position(drive, now);
        drive->play_since_ms = now;
        drive->speed = static_cast<int32_t>(number);
    } else if (equals != nullptr && is("spinup") && parse_number(value, 0, 600000, &number)) {
        drive->spinup_ms = static_cast<int32_t>(number);
    } else if (equals != nullptr && is("spinup_kind") &&
        (strcmp(value, "becoming") == 0 || strcmp(value, "absent") == 0)) {
        drive->spinup_kind = strcmp(value, "absent") == 0 ? fakecd::SPINUP_NO_MEDIUM : fakecd::SPINUP_BECOMING_READY;
    } else if (equals != nullptr && is("retry") && parse_number(value, 1, 60000, &number)) {
        drive->retry_ms = static_cast<int32_t>(number);
    } else if (equals != nullptr && is("retries") && parse_number(value, 0, 100, &number)) {
        drive->retries = static_cast<int32_t>(number);
    } else if (equals != nullptr && is("fail") && set_failure(drive, value)) {
    } else {
        fprintf(stderr, "fakecd: cannot do '%s'\n%s", word, USAGE);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        fputs(USAGE, stderr);
        return 2;
    }
    const char* path = argv[1];
    const bool create = strcmp(argv[2], "create") == 0;
    const int fd = fakecd::open_drive_file(path, create);
    if (fd < 0) {
        fprintf(stderr, "fakecd: %s: %s\n", path, strerror(errno));
        return 1;
    }
    fakecd::DriveState drive;
    if (create) {
        // The file is rewritten in place, under the lock, so that processes holding it open
        // keep the same drive.
        fakecd::drive_init(&drive);
        if (flock(fd, LOCK_EX) != 0) {
            perror("fakecd: flock");
            return 1;
        }
    } else if (!fakecd::take_drive(fd, &drive)) {
        fprintf(stderr, "fakecd: %s holds no drive (make one with: fakecd %s create)\n", path, path);
        return 1;
    }
    const int64_t now = fakecd::monotonic_ms();
    bool ok = true;
    for (int i = create ? 3 : 2; i < argc && ok; i++) {
        ok = apply(&drive, argv[i], now);
    }
    if (!ok) {
        fakecd::release_drive(fd);
        return 2;
    }
    if (!fakecd::give_back_drive(fd, &drive)) {
        fprintf(stderr, "fakecd: %s: cannot write the drive: %s\n", path, strerror(errno));
        return 1;
    }
    if (create && ftruncate(fd, sizeof(drive)) != 0) {
        perror("fakecd: ftruncate");
        return 1;
    }
    close(fd);
    return 0;
}
