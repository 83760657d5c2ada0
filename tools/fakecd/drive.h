// A CD-ROM drive with an audio disc, as Linux's CD-ROM ioctls (linux/cdrom.h) show it.
//
// The whole drive is one fixed-size record kept at the start of a regular file: the "device".
// Every process that touches the drive (the program through the preload library, Wine's mount
// manager, the control tool) reads and writes that record under an exclusive flock, so they all
// see one drive. Time is CLOCK_MONOTONIC in milliseconds, which is the same clock in every process.
#pragma once

#include <stdint.h>

namespace fakecd {

constexpr int MAX_TRACKS = 99;
constexpr int FRAMES_PER_SECOND = 75;
constexpr int LEAD_IN_FRAMES = 150;  // track 1 starts at 0:02:00
constexpr char MAGIC[8] = {'F', 'A', 'K', 'E', 'C', 'D', '1', '\0'};

// How a drive behaves while the disc spins up after the door closes on it.
enum SpinUpKind : int32_t {
    // Sense 04/01: Linux's sr driver holds the ioctl, sleeping and retrying, then succeeds, or
    // answers ENOMEDIUM once its retries are used up.
    SPINUP_BECOMING_READY = 0,
    // Sense 3A: "medium not present" until the disc is loaded; ENOMEDIUM at once.
    SPINUP_NO_MEDIUM = 1,
};

enum Audio : int32_t {
    AUDIO_IDLE = 0,  // CDROM_AUDIO_NO_STATUS
    AUDIO_PLAY = 1,  // CDROM_AUDIO_PLAY
    AUDIO_PAUSED = 2,  // CDROM_AUDIO_PAUSED
    AUDIO_COMPLETED = 3,  // CDROM_AUDIO_COMPLETED: reported once, then no status
};

struct DriveState {
    char magic[8];
    int32_t size;  // sizeof(DriveState): a file of another layout is refused

    // The disc, and where it is.
    int32_t track_count;
    int32_t track_frames[MAX_TRACKS];  // each track's length
    int32_t disc_in;  // a disc lies in the tray
    int32_t door_open;

    // The drive's character.
    int32_t speed;  // the audio clock runs this many times faster than real time
    int32_t spinup_ms;  // from closing the door on a disc until it is readable
    int32_t spinup_kind;  // SpinUpKind
    int32_t retry_ms;  // sr's sleep between retries while becoming ready (2000 in Linux)
    int32_t retries;  // sr's retries before ENOMEDIUM (10 in Linux)
    int64_t ready_at_ms;  // the spin-up ends then (0: nothing is spinning up)

    // Audio.
    int32_t audio;  // Audio
    int32_t position;  // the head's absolute frame; while playing, where the play (re)started
    int32_t play_end;  // the frame where the running or paused play ends
    int64_t play_since_ms;  // when playing: the moment `position` was the head's place

    // One injected failure: `fail_count` more times (-1: always) the request `fail_request`
    // (0: every request that needs the disc) fails with `fail_errno`.
    uint32_t fail_request;
    int32_t fail_errno;
    int32_t fail_count;
    int32_t fail_any;  // fail_request 0 means "any disc request" only when this is set

    uint32_t ioctl_count;  // requests answered, for the tool's "show"
};

// What a request answers: a value >= 0 for ioctl() to return, -errno, or RETRY_LATER when the
// caller must sleep retry_ms (without holding the drive) and ask again.
constexpr int RETRY_LATER = -100000;

// A drive with the demo disc in, the door closed, ready, at normal speed.
void drive_init(DriveState* drive);
bool drive_valid(const DriveState* drive);

// Brings the audio up to `now`: a play that has passed its end has completed.
void drive_advance(DriveState* drive, int64_t now_ms);

// The frame where track `track` (1-based) starts; track_count + 1 is the lead-out.
int32_t track_start(const DriveState* drive, int track);
// The track whose frames hold `frame` (1 before the first track, the last at the lead-out).
int track_at(const DriveState* drive, int32_t frame);
// The head's frame now.
int32_t head_position(const DriveState* drive, int64_t now_ms);

// Linux ioctls that this drive answers (0x53xx of linux/cdrom.h); false for any other request.
bool drive_handles(unsigned long request);
// One request against the drive; `arg` is the ioctl's argument. `retry` counts the RETRY_LATER
// answers already given to this call, so that the sr driver's give-up can be modelled.
int drive_ioctl(DriveState* drive, unsigned long request, void* arg, int64_t now_ms, int retry);

// The person at the drive: the door button and the disc.
void person_open_door(DriveState* drive, int64_t now_ms);
void person_close_door(DriveState* drive, int64_t now_ms);
// Track lengths as "m:ss,m:ss" (each optionally ".ff" frames); false when they cannot be read.
bool parse_tracks(const char* text, DriveState* drive);
// A short name for a request ("play", "subchnl", ...), and back; 0 for an unknown name.
const char* request_name(unsigned long request);
unsigned long request_by_name(const char* name);

int64_t monotonic_ms();

}  // namespace fakecd
