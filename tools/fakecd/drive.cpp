#include "tools/fakecd/drive.h"

#include <errno.h>
#include <limits.h>
#include <linux/cdrom.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

namespace fakecd {

namespace {

// The demo disc: ten tracks, 44 minutes.
constexpr int DEMO_SECONDS[] = {245, 222, 317, 178, 273, 361, 195, 289, 156, 324};

struct RequestName {
    unsigned long request;
    const char* name;
    bool needs_disc;  // answers ENOMEDIUM (or waits) while the drive has no readable disc
};

constexpr RequestName REQUESTS[] = {
    {CDROMREADTOCHDR, "tochdr", true},
    {CDROMREADTOCENTRY, "tocentry", true},
    {CDROMSUBCHNL, "subchnl", true},
    {CDROMSTART, "start", true},
    {CDROMSTOP, "stop", true},
    {CDROMPAUSE, "pause", true},
    {CDROMRESUME, "resume", true},
    {CDROMPLAYMSF, "play", true},
    {CDROMSEEK, "seek", true},
    {CDROMREADAUDIO, "readaudio", true},
    {CDROMEJECT, "eject", false},
    {CDROMCLOSETRAY, "closetray", false},
    {CDROM_DRIVE_STATUS, "drivestatus", false},
    {CDROM_DISC_STATUS, "discstatus", false},
    {CDROM_MEDIA_CHANGED, "mediachanged", false},
    {CDROM_LOCKDOOR, "lockdoor", false},
    {CDROMRESET, "reset", false},
    {CDROM_GET_CAPABILITY, "capability", false},
};

const RequestName* find_request(unsigned long request)
{
    for (const RequestName& r : REQUESTS) {
        if (r.request == request) {
            return &r;
        }
    }
    return nullptr;
}

int32_t frame_of_msf(int minute, int second, int frame)
{
    return (minute * 60 + second) * FRAMES_PER_SECOND + frame;
}

void put_address(union cdrom_addr* address, unsigned char format, int32_t frame)
{
    if (format == CDROM_LBA) {
        address->lba = frame - LEAD_IN_FRAMES;
        return;
    }
    address->msf.minute = static_cast<unsigned char>(frame / (60 * FRAMES_PER_SECOND));
    address->msf.second = static_cast<unsigned char>(frame / FRAMES_PER_SECOND % 60);
    address->msf.frame = static_cast<unsigned char>(frame % FRAMES_PER_SECOND);
}

// Whether a request that reads or moves the disc can go ahead now: 0, -ENOMEDIUM, or RETRY_LATER.
int disc_readiness(DriveState* drive, int64_t now_ms, int retry)
{
    if (drive->door_open || !drive->disc_in) {
        return -ENOMEDIUM;
    }
    if (drive->ready_at_ms != 0) {
        if (now_ms >= drive->ready_at_ms) {
            drive->ready_at_ms = 0;
            return 0;
        }
        // sr gives up after its retries; a "medium not present" drive is given up on at once.
        if (drive->spinup_kind == SPINUP_NO_MEDIUM || retry >= drive->retries) {
            return -ENOMEDIUM;
        }
        return RETRY_LATER;
    }
    return 0;
}

// The head stops where it is; the play (if any) is over without completing.
void stop_audio(DriveState* drive, int64_t now_ms)
{
    drive_advance(drive, now_ms);
    drive->position = head_position(drive, now_ms);
    drive->audio = AUDIO_IDLE;
}

int read_subchannel(DriveState* drive, struct cdrom_subchnl* sc, int64_t now_ms)
{
    if (sc->cdsc_format != CDROM_MSF && sc->cdsc_format != CDROM_LBA) {
        return -EINVAL;
    }
    drive_advance(drive, now_ms);
    const int32_t frame = head_position(drive, now_ms);
    switch (drive->audio) {
    case AUDIO_PLAY:
        sc->cdsc_audiostatus = CDROM_AUDIO_PLAY;
        break;
    case AUDIO_PAUSED:
        sc->cdsc_audiostatus = CDROM_AUDIO_PAUSED;
        break;
    case AUDIO_COMPLETED:
        // Drives say "completed" to the first reader only; after that there is no status.
        sc->cdsc_audiostatus = CDROM_AUDIO_COMPLETED;
        drive->audio = AUDIO_IDLE;
        break;
    default:
        sc->cdsc_audiostatus = CDROM_AUDIO_NO_STATUS;
        break;
    }
    const int track = track_at(drive, frame);
    const int32_t relative = frame - track_start(drive, track);
    sc->cdsc_adr = 1;
    sc->cdsc_ctrl = 0;  // audio, no pre-emphasis
    sc->cdsc_trk = static_cast<unsigned char>(track);
    sc->cdsc_ind = 1;
    put_address(&sc->cdsc_absaddr, sc->cdsc_format, frame);
    if (sc->cdsc_format == CDROM_LBA) {
        sc->cdsc_reladdr.lba = relative < 0 ? 0 : relative;
    } else {
        put_address(&sc->cdsc_reladdr, CDROM_MSF, relative < 0 ? 0 : relative);
    }
    return 0;
}

int read_toc_entry(const DriveState* drive, struct cdrom_tocentry* entry)
{
    int track = entry->cdte_track;
    if (track == CDROM_LEADOUT) {
        track = drive->track_count + 1;
    } else if (track < 1 || track > drive->track_count) {
        return -EIO;
    }
    if (entry->cdte_format != CDROM_MSF && entry->cdte_format != CDROM_LBA) {
        return -EINVAL;
    }
    entry->cdte_adr = 1;
    entry->cdte_ctrl = 0;
    entry->cdte_datamode = 0;
    put_address(&entry->cdte_addr, entry->cdte_format, track_start(drive, track));
    return 0;
}

int play_msf(DriveState* drive, const struct cdrom_msf* msf, int64_t now_ms)
{
    const int32_t from = frame_of_msf(msf->cdmsf_min0, msf->cdmsf_sec0, msf->cdmsf_frame0);
    const int32_t to = frame_of_msf(msf->cdmsf_min1, msf->cdmsf_sec1, msf->cdmsf_frame1);
    // Outside the disc or backwards: the drive's ILLEGAL REQUEST, which sr turns into EIO.
    if (from < LEAD_IN_FRAMES || to > track_start(drive, drive->track_count + 1) || from >= to) {
        return -EIO;
    }
    drive->audio = AUDIO_PLAY;
    drive->position = from;
    drive->play_end = to;
    drive->play_since_ms = now_ms;
    return 0;
}

int seek_msf(DriveState* drive, const struct cdrom_msf0* msf, int64_t now_ms)
{
    const int32_t frame = frame_of_msf(msf->minute, msf->second, msf->frame);
    if (frame < LEAD_IN_FRAMES || frame >= track_start(drive, drive->track_count + 1)) {
        return -EIO;
    }
    drive_advance(drive, now_ms);
    drive->position = frame;
    drive->play_since_ms = now_ms;
    return 0;
}

int pause_audio(DriveState* drive, int64_t now_ms)
{
    drive_advance(drive, now_ms);
    if (drive->audio == AUDIO_PLAY) {
        drive->position = head_position(drive, now_ms);
        drive->audio = AUDIO_PAUSED;
        return 0;
    }
    // Nothing to pause: the drive's "command sequence error".
    return drive->audio == AUDIO_PAUSED ? 0 : -EIO;
}

int resume_audio(DriveState* drive, int64_t now_ms)
{
    drive_advance(drive, now_ms);
    if (drive->audio == AUDIO_PAUSED) {
        drive->audio = AUDIO_PLAY;
        drive->play_since_ms = now_ms;
        return 0;
    }
    return drive->audio == AUDIO_PLAY ? 0 : -EIO;
}

int drive_status(const DriveState* drive, int64_t now_ms)
{
    if (drive->door_open) {
        return CDS_TRAY_OPEN;
    }
    if (!drive->disc_in) {
        return CDS_NO_DISC;
    }
    if (drive->ready_at_ms != 0 && now_ms < drive->ready_at_ms) {
        return CDS_DRIVE_NOT_READY;
    }
    return CDS_DISC_OK;
}

bool injected_failure(DriveState* drive, const RequestName* request, int* answer)
{
    if (drive->fail_count == 0) {
        return false;
    }
    const bool matches = drive->fail_any ? request->needs_disc : drive->fail_request == request->request;
    if (!matches) {
        return false;
    }
    if (drive->fail_count > 0) {
        drive->fail_count--;
    }
    *answer = -drive->fail_errno;
    return true;
}

}  // namespace

int64_t monotonic_ms()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void drive_init(DriveState* drive)
{
    memset(drive, 0, sizeof(*drive));
    memcpy(drive->magic, MAGIC, sizeof(MAGIC));
    drive->size = static_cast<int32_t>(sizeof(DriveState));
    drive->track_count = static_cast<int32_t>(sizeof(DEMO_SECONDS) / sizeof(DEMO_SECONDS[0]));
    for (int i = 0; i < drive->track_count; i++) {
        drive->track_frames[i] = DEMO_SECONDS[i] * FRAMES_PER_SECOND;
    }
    drive->disc_in = 1;
    drive->speed = 1;
    drive->spinup_ms = 0;
    drive->spinup_kind = SPINUP_BECOMING_READY;
    drive->retry_ms = 2000;
    drive->retries = 10;
    drive->audio = AUDIO_IDLE;
    drive->position = LEAD_IN_FRAMES;
}

bool drive_valid(const DriveState* drive)
{
    return memcmp(drive->magic, MAGIC, sizeof(MAGIC)) == 0 && drive->size == static_cast<int32_t>(sizeof(DriveState)) &&
        drive->track_count >= 1 && drive->track_count <= MAX_TRACKS && drive->speed >= 1;
}

int32_t track_start(const DriveState* drive, int track)
{
    int32_t frame = LEAD_IN_FRAMES;
    for (int i = 1; i < track && i <= drive->track_count; i++) {
        frame += drive->track_frames[i - 1];
    }
    return frame;
}

int track_at(const DriveState* drive, int32_t frame)
{
    int track = 1;
    while (track < drive->track_count && frame >= track_start(drive, track + 1)) {
        track++;
    }
    return track;
}

int32_t head_position(const DriveState* drive, int64_t now_ms)
{
    if (drive->audio != AUDIO_PLAY) {
        return drive->position;
    }
    const int64_t elapsed = now_ms - drive->play_since_ms;
    const int64_t frame = drive->position + elapsed * drive->speed * FRAMES_PER_SECOND / 1000;
    return frame >= drive->play_end ? drive->play_end : static_cast<int32_t>(frame);
}

void drive_advance(DriveState* drive, int64_t now_ms)
{
    if (drive->audio == AUDIO_PLAY && head_position(drive, now_ms) >= drive->play_end) {
        drive->position = drive->play_end;
        drive->audio = AUDIO_COMPLETED;
    }
}

bool drive_handles(unsigned long request)
{
    return find_request(request) != nullptr;
}

int drive_ioctl(DriveState* drive, unsigned long request, void* arg, int64_t now_ms, int retry)
{
    const RequestName* known = find_request(request);
    if (known == nullptr) {
        return -ENOTTY;
    }
    drive->ioctl_count++;
    int answer = 0;
    if (injected_failure(drive, known, &answer)) {
        return answer;
    }
    if (known->needs_disc) {
        const int ready = disc_readiness(drive, now_ms, retry);
        if (ready != 0) {
            return ready;
        }
    }
    switch (request) {
    case CDROMREADTOCHDR: {
        auto* header = static_cast<struct cdrom_tochdr*>(arg);
        header->cdth_trk0 = 1;
        header->cdth_trk1 = static_cast<unsigned char>(drive->track_count);
        return 0;
    }
    case CDROMREADTOCENTRY:
        return read_toc_entry(drive, static_cast<struct cdrom_tocentry*>(arg));
    case CDROMSUBCHNL:
        return read_subchannel(drive, static_cast<struct cdrom_subchnl*>(arg), now_ms);
    case CDROMSTART:
        return 0;
    case CDROMSTOP:
        stop_audio(drive, now_ms);
        return 0;
    case CDROMPAUSE:
        return pause_audio(drive, now_ms);
    case CDROMRESUME:
        return resume_audio(drive, now_ms);
    case CDROMPLAYMSF:
        return play_msf(drive, static_cast<const struct cdrom_msf*>(arg), now_ms);
    case CDROMSEEK:
        return seek_msf(drive, static_cast<const struct cdrom_msf0*>(arg), now_ms);
    case CDROMREADAUDIO:
        // This drive plays through its own output and cannot hand out digital audio.
        return -EIO;
    case CDROMEJECT:
        person_open_door(drive, now_ms);
        return 0;
    case CDROMCLOSETRAY:
        person_close_door(drive, now_ms);
        return 0;
    case CDROM_DRIVE_STATUS:
        return drive_status(drive, now_ms);
    case CDROM_DISC_STATUS: {
        const int status = drive_status(drive, now_ms);
        return status == CDS_DISC_OK ? CDS_AUDIO : status;
    }
    case CDROM_MEDIA_CHANGED:
    case CDROM_LOCKDOOR:
        return 0;
    case CDROMRESET:
        stop_audio(drive, now_ms);
        return 0;
    case CDROM_GET_CAPABILITY:
        return CDC_CLOSE_TRAY | CDC_OPEN_TRAY | CDC_LOCK | CDC_MEDIA_CHANGED | CDC_PLAY_AUDIO | CDC_RESET |
            CDC_DRIVE_STATUS;
    default:
        return -ENOTTY;
    }
}

void person_open_door(DriveState* drive, int64_t now_ms)
{
    stop_audio(drive, now_ms);
    drive->door_open = 1;
    drive->ready_at_ms = 0;
}

void person_close_door(DriveState* drive, int64_t now_ms)
{
    if (!drive->door_open) {
        return;
    }
    drive->door_open = 0;
    drive->audio = AUDIO_IDLE;
    drive->position = LEAD_IN_FRAMES;
    drive->ready_at_ms = drive->disc_in && drive->spinup_ms > 0 ? now_ms + drive->spinup_ms : 0;
}

bool parse_tracks(const char* text, DriveState* drive)
{
    int32_t frames[MAX_TRACKS];
    int count = 0;
    const char* p = text;
    for (;;) {
        char* end = nullptr;
        const long minutes = strtol(p, &end, 10);
        if (end == p || *end != ':' || minutes < 0 || minutes > 99) {
            return false;
        }
        p = end + 1;
        const long seconds = strtol(p, &end, 10);
        if (end == p || seconds < 0 || seconds > 59) {
            return false;
        }
        long extra = 0;
        p = end;
        if (*p == '.') {
            extra = strtol(p + 1, &end, 10);
            if (end == p + 1 || extra < 0 || extra >= FRAMES_PER_SECOND) {
                return false;
            }
            p = end;
        }
        const long length = (minutes * 60 + seconds) * FRAMES_PER_SECOND + extra;
        if (length < 1 || count == MAX_TRACKS) {
            return false;
        }
        frames[count++] = static_cast<int32_t>(length);
        if (*p == '\0') {
            break;
        }
        if (*p != ',') {
            return false;
        }
        p++;
    }
    // The whole disc must fit in MSF addresses (minutes are one byte).
    int64_t total = LEAD_IN_FRAMES;
    for (int i = 0; i < count; i++) {
        total += frames[i];
    }
    if (total >= 255LL * 60 * FRAMES_PER_SECOND) {
        return false;
    }
    drive->track_count = count;
    memcpy(drive->track_frames, frames, sizeof(frames[0]) * count);
    return true;
}

const char* request_name(unsigned long request)
{
    const RequestName* known = find_request(request);
    return known != nullptr ? known->name : "?";
}

unsigned long request_by_name(const char* name)
{
    for (const RequestName& r : REQUESTS) {
        if (strcmp(r.name, name) == 0) {
            return r.request;
        }
    }
    return 0;
}

}  // namespace fakecd
