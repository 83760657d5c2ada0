// The faked CD-ROM drive through the real ioctl(): this program runs with libfakecd.so preloaded
// (FAKECD_PRELOADED=1 says so) and changes the drive with the control tool, as a person would.
//
//   fakecd_test FAKECD_TOOL
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/cdrom.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

const char* tool = nullptr;
char drive_dir[64];
char device[256];
int failures = 0;

#define CHECK(condition)                                                                                               \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            fprintf(stderr, "%s:%d: CHECK failed: %s (errno %d)\n", __FILE__, __LINE__, #condition, errno);            \
            failures++;                                                                                                \
        }                                                                                                              \
    } while (0)

int64_t now_ms()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void sleep_ms(int ms)
{
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

// Runs the control tool on the drive with the given words; its exit status.
int person(const char* words)
{
    char command[1024];
    snprintf(command, sizeof(command), "'%s' '%s' %s", tool, device, words);
    const int status = system(command);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The tool's "show" line.
void shown(char* line, size_t size)
{
    char command[1024];
    snprintf(command, sizeof(command), "'%s' '%s' show", tool, device);
    FILE* pipe = popen(command, "r");
    line[0] = '\0';
    if (pipe != nullptr) {
        if (fgets(line, static_cast<int>(size), pipe) == nullptr) {
            line[0] = '\0';
        }
        pclose(pipe);
    }
}

void forget_drive()
{
    if (drive_dir[0] != '\0') {
        char path[300];
        unlink(device);
        snprintf(path, sizeof(path), "%s.other", device);
        unlink(path);
        rmdir(drive_dir);
        drive_dir[0] = '\0';
    }
}

// A fresh drive in a directory of its own, opened as Wine opens it (read-only).
int fresh_drive(const char* words)
{
    forget_drive();
    strcpy(drive_dir, "/tmp/fakecd-test-XXXXXX");
    if (mkdtemp(drive_dir) == nullptr) {
        perror("mkdtemp");
        exit(1);
    }
    snprintf(device, sizeof(device), "%s/cdrom", drive_dir);
    setenv("FAKECD_DEVICE", device, 1);
    char create[512];
    snprintf(create, sizeof(create), "create %s", words);
    if (person(create) != 0) {
        fprintf(stderr, "could not create %s\n", device);
        exit(1);
    }
    return open(device, O_RDONLY | O_NONBLOCK);
}

int frame_of(const struct cdrom_msf0& msf)
{
    return (msf.minute * 60 + msf.second) * 75 + msf.frame;
}

int subchannel(int fd, struct cdrom_subchnl* sc)
{
    memset(sc, 0, sizeof(*sc));
    sc->cdsc_format = CDROM_MSF;
    return ioctl(fd, CDROMSUBCHNL, sc);
}

int play(int fd, int from, int to)
{
    struct cdrom_msf msf = {};
    msf.cdmsf_min0 = static_cast<unsigned char>(from / 4500);
    msf.cdmsf_sec0 = static_cast<unsigned char>(from / 75 % 60);
    msf.cdmsf_frame0 = static_cast<unsigned char>(from % 75);
    msf.cdmsf_min1 = static_cast<unsigned char>(to / 4500);
    msf.cdmsf_sec1 = static_cast<unsigned char>(to / 75 % 60);
    msf.cdmsf_frame1 = static_cast<unsigned char>(to % 75);
    return ioctl(fd, CDROMPLAYMSF, &msf);
}

// Polls the subchannel until its audio status is `status`; false after 20 s.
bool wait_audio(int fd, int status)
{
    const int64_t deadline = now_ms() + 20000;
    struct cdrom_subchnl sc;
    while (now_ms() < deadline) {
        if (subchannel(fd, &sc) == 0 && sc.cdsc_audiostatus == status) {
            return true;
        }
        sleep_ms(10);
    }
    return false;
}

void toc_and_other_files()
{
    const int fd = fresh_drive("tracks=1:00,0:30.10");
    struct cdrom_tochdr header = {};
    CHECK(ioctl(fd, CDROMREADTOCHDR, &header) == 0);
    CHECK(header.cdth_trk0 == 1 && header.cdth_trk1 == 2);
    struct cdrom_tocentry entry = {};
    entry.cdte_format = CDROM_MSF;
    entry.cdte_track = 1;
    CHECK(ioctl(fd, CDROMREADTOCENTRY, &entry) == 0);
    CHECK(frame_of(entry.cdte_addr.msf) == 150 && entry.cdte_ctrl == 0 && entry.cdte_adr == 1);
    entry.cdte_track = CDROM_LEADOUT;
    CHECK(ioctl(fd, CDROMREADTOCENTRY, &entry) == 0);
    CHECK(frame_of(entry.cdte_addr.msf) == 150 + 90 * 75 + 10);
    entry.cdte_format = CDROM_LBA;
    entry.cdte_track = 2;
    CHECK(ioctl(fd, CDROMREADTOCENTRY, &entry) == 0);
    CHECK(entry.cdte_addr.lba == 60 * 75);
    entry.cdte_track = 3;
    CHECK(ioctl(fd, CDROMREADTOCENTRY, &entry) == -1 && errno == EIO);

    // Any other file, and any other request on the device, is the system's business.
    char other[300];
    snprintf(other, sizeof(other), "%s.other", device);
    const int plain = open(other, O_RDWR | O_CREAT, 0644);
    CHECK(ioctl(plain, CDROMREADTOCHDR, &header) == -1 && errno == ENOTTY);
    int pending = -1;
    CHECK(ioctl(fd, FIONREAD, &pending) == 0 && pending > 0);
    close(plain);
    close(fd);

    // The control tool refuses what a person cannot do, and bad words.
    CHECK(person("insert 2>/dev/null") != 0);
    CHECK(person("tracks=1:75 2>/dev/null") != 0);
    CHECK(person("speed=0 2>/dev/null") != 0);
}

void play_pause_resume_and_the_end()
{
    const int fd = fresh_drive("tracks=0:10,0:10");
    struct cdrom_subchnl sc;
    CHECK(subchannel(fd, &sc) == 0 && sc.cdsc_audiostatus == CDROM_AUDIO_NO_STATUS);
    CHECK(ioctl(fd, CDROMPAUSE) == -1 && errno == EIO);  // nothing plays

    CHECK(ioctl(fd, CDROMSTART) == 0);
    const int track2 = 150 + 750;
    CHECK(play(fd, track2, track2 + 750) == 0);
    CHECK(play(fd, track2, 150 + 1600) == -1 && errno == EIO);  // past the lead-out
    CHECK(subchannel(fd, &sc) == 0 && sc.cdsc_audiostatus == CDROM_AUDIO_PLAY && sc.cdsc_trk == 2);
    sleep_ms(300);
    CHECK(subchannel(fd, &sc) == 0 && frame_of(sc.cdsc_absaddr.msf) > track2);
    CHECK(frame_of(sc.cdsc_reladdr.msf) == frame_of(sc.cdsc_absaddr.msf) - track2);

    // Paused, the head holds still; resumed, it goes on from there.
    CHECK(ioctl(fd, CDROMPAUSE) == 0);
    CHECK(subchannel(fd, &sc) == 0 && sc.cdsc_audiostatus == CDROM_AUDIO_PAUSED);
    const int paused_at = frame_of(sc.cdsc_absaddr.msf);
    sleep_ms(200);
    CHECK(subchannel(fd, &sc) == 0 && frame_of(sc.cdsc_absaddr.msf) == paused_at);
    char line[512];
    shown(line, sizeof(line));
    CHECK(strstr(line, "audio=paused") != nullptr);  // the same drive in another process
    CHECK(ioctl(fd, CDROMRESUME) == 0);
    CHECK(subchannel(fd, &sc) == 0 && sc.cdsc_audiostatus == CDROM_AUDIO_PLAY &&
        frame_of(sc.cdsc_absaddr.msf) >= paused_at);

    // The end: "completed" once, then no status, the head at the end of the play.
    CHECK(person("speed=100") == 0);
    CHECK(wait_audio(fd, CDROM_AUDIO_COMPLETED));
    CHECK(subchannel(fd, &sc) == 0 && sc.cdsc_audiostatus == CDROM_AUDIO_NO_STATUS);
    CHECK(frame_of(sc.cdsc_absaddr.msf) == track2 + 750 && sc.cdsc_trk == 2);
    CHECK(ioctl(fd, CDROMPAUSE) == -1 && errno == EIO);
    CHECK(ioctl(fd, CDROMRESUME) == -1 && errno == EIO);

    CHECK(play(fd, 150, track2) == 0);
    CHECK(ioctl(fd, CDROMSTOP) == 0);
    CHECK(subchannel(fd, &sc) == 0 && sc.cdsc_audiostatus == CDROM_AUDIO_NO_STATUS);
    // No digital audio from this drive: Wine's CD audio driver then plays through the drive.
    struct cdrom_read_audio audio = {};
    CHECK(ioctl(fd, CDROMREADAUDIO, &audio) == -1 && errno == EIO);
    close(fd);
}

void door_and_disc()
{
    const int fd = fresh_drive("");
    CHECK(ioctl(fd, CDROM_DRIVE_STATUS, CDSL_CURRENT) == CDS_DISC_OK);
    CHECK(play(fd, 150, 1000) == 0);
    CHECK(ioctl(fd, CDROMEJECT) == 0);
    CHECK(ioctl(fd, CDROM_DRIVE_STATUS, CDSL_CURRENT) == CDS_TRAY_OPEN);
    struct cdrom_subchnl sc;
    struct cdrom_tochdr header;
    CHECK(subchannel(fd, &sc) == -1 && errno == ENOMEDIUM);
    CHECK(ioctl(fd, CDROMREADTOCHDR, &header) == -1 && errno == ENOMEDIUM);
    CHECK(ioctl(fd, CDROMSTOP) == -1 && errno == ENOMEDIUM);
    CHECK(ioctl(fd, CDROMPAUSE) == -1 && errno == ENOMEDIUM);
    CHECK(ioctl(fd, CDROMEJECT) == 0);  // already open

    // The person takes the disc and closes the door: a drive without a disc.
    CHECK(person("remove close") == 0);
    CHECK(ioctl(fd, CDROM_DRIVE_STATUS, CDSL_CURRENT) == CDS_NO_DISC);
    CHECK(subchannel(fd, &sc) == -1 && errno == ENOMEDIUM);
    CHECK(ioctl(fd, CDROMCLOSETRAY) == 0);

    // A disc back in; the drive's own close makes it ready again, with the play forgotten.
    CHECK(person("open insert") == 0);
    CHECK(ioctl(fd, CDROMCLOSETRAY) == 0);
    CHECK(ioctl(fd, CDROM_DRIVE_STATUS, CDSL_CURRENT) == CDS_DISC_OK);
    CHECK(subchannel(fd, &sc) == 0 && sc.cdsc_audiostatus == CDROM_AUDIO_NO_STATUS && sc.cdsc_trk == 1);

    // The door opened by hand while playing ends the play.
    CHECK(play(fd, 150, 1000) == 0);
    CHECK(person("open close") == 0);
    CHECK(subchannel(fd, &sc) == 0 && sc.cdsc_audiostatus == CDROM_AUDIO_NO_STATUS);
    close(fd);
}

struct HeldCall {
    int fd;
    int result;
    int error;
};

void* read_header(void* arg)
{
    auto* call = static_cast<HeldCall*>(arg);
    struct cdrom_tochdr header;
    call->result = ioctl(call->fd, CDROMREADTOCHDR, &header);
    call->error = errno;
    return nullptr;
}

void spin_up_kinds()
{
    struct cdrom_tochdr header;
    // "Medium not present" while loading: refused at once until the disc is ready.
    int fd = fresh_drive("spinup=1500 spinup_kind=absent open close");
    CHECK(ioctl(fd, CDROMREADTOCHDR, &header) == -1 && errno == ENOMEDIUM);
    CHECK(ioctl(fd, CDROM_DRIVE_STATUS, CDSL_CURRENT) == CDS_DRIVE_NOT_READY);
    const int64_t deadline = now_ms() + 20000;
    while (ioctl(fd, CDROMREADTOCHDR, &header) != 0 && now_ms() < deadline) {
        sleep_ms(20);
    }
    CHECK(ioctl(fd, CDROMREADTOCHDR, &header) == 0);
    close(fd);

    // "Becoming ready": the call is held, retried, and succeeds once the disc is ready.
    fd = fresh_drive("spinup=700 retry=100 retries=50 open close");
    int64_t started = now_ms();
    CHECK(ioctl(fd, CDROMREADTOCHDR, &header) == 0);
    CHECK(now_ms() - started >= 500);
    close(fd);

    // ... or gives up with ENOMEDIUM when the retries are used up.
    fd = fresh_drive("spinup=60000 retry=100 retries=3 open close");
    started = now_ms();
    CHECK(ioctl(fd, CDROMREADTOCHDR, &header) == -1 && errno == ENOMEDIUM);
    CHECK(now_ms() - started >= 300);

    // While one call is held, the drive is free: the person opens the door and the call ends.
    CHECK(person("retries=100000 2>/dev/null") != 0);
    CHECK(person("retries=100 close") == 0);
    HeldCall call = {fd, 0, 0};
    pthread_t thread;
    pthread_create(&thread, nullptr, read_header, &call);
    sleep_ms(300);
    CHECK(person("open") == 0);
    pthread_join(thread, nullptr);
    CHECK(call.result == -1 && call.error == ENOMEDIUM);
    close(fd);
}

void injected_failures()
{
    const int fd = fresh_drive("fail=play:EIO:1");
    CHECK(play(fd, 150, 1000) == -1 && errno == EIO);
    CHECK(play(fd, 150, 1000) == 0);
    CHECK(person("fail=any:ENOMEDIUM:-1") == 0);
    struct cdrom_subchnl sc;
    for (int i = 0; i < 3; i++) {
        CHECK(subchannel(fd, &sc) == -1 && errno == ENOMEDIUM);
    }
    CHECK(ioctl(fd, CDROM_DRIVE_STATUS, CDSL_CURRENT) == CDS_DISC_OK);  // not a disc request
    CHECK(person("fail=none") == 0);
    CHECK(subchannel(fd, &sc) == 0);
    close(fd);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2 || getenv("FAKECD_PRELOADED") == nullptr) {
        fprintf(stderr, "usage: LD_PRELOAD=libfakecd.so FAKECD_PRELOADED=1 fakecd_test FAKECD_TOOL\n");
        return 2;
    }
    tool = argv[1];
    struct Case {
        const char* name;
        void (*run)();
    };
    const Case cases[] = {{"toc_and_other_files", toc_and_other_files},
        {"play_pause_resume_and_the_end", play_pause_resume_and_the_end}, {"door_and_disc", door_and_disc},
        {"spin_up_kinds", spin_up_kinds}, {"injected_failures", injected_failures}};
    for (const Case& c : cases) {
        const int before = failures;
        c.run();
        printf("%s %s\n", failures == before ? "ok  " : "FAIL", c.name);
    }
    forget_drive();
    return failures == 0 ? 0 : 1;
}
