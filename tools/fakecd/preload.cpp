// LD_PRELOAD library: the CD-ROM ioctls on one regular file (FAKECD_DEVICE) are answered by the
// drive kept in that file; every other ioctl goes to the C library as usual.
//
// The file is recognised by device and inode, as Wine's CD-ROM code itself keys its cache, so a
// symbolic link to it (a Wine prefix's dosdevices/d::) is the same drive. FAKECD_LOG, when set,
// names a file that gets one line per answered request: pid, request, answer.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "tools/fakecd/drive.h"
#include "tools/fakecd/drive_file.h"

namespace {

using ioctl_function = int (*)(int, unsigned long, ...);

ioctl_function real_ioctl()
{
    static ioctl_function real = nullptr;
    if (real == nullptr) {
        real = reinterpret_cast<ioctl_function>(dlsym(RTLD_NEXT, "ioctl"));
    }
    return real;
}

const char* device_path()
{
    const char* path = getenv("FAKECD_DEVICE");
    return path != nullptr && path[0] != '\0' ? path : nullptr;
}

bool is_the_device(int fd, const char* path)
{
    struct stat device;
    struct stat opened;
    return stat(path, &device) == 0 && fstat(fd, &opened) == 0 && device.st_dev == opened.st_dev &&
        device.st_ino == opened.st_ino;
}

void log_answer(unsigned long request, int answer)
{
    const char* log = getenv("FAKECD_LOG");
    if (log == nullptr || log[0] == '\0') {
        return;
    }
    char line[128];
    const int length = answer < 0
        ? snprintf(line, sizeof(line), "%d %s %s\n", static_cast<int>(getpid()), fakecd::request_name(request),
              strerrorname_np(-answer) != nullptr ? strerrorname_np(-answer) : "error")
        : snprintf(line, sizeof(line), "%d %s %d\n", static_cast<int>(getpid()), fakecd::request_name(request), answer);
    const int fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        // One write per line: lines from several processes do not interleave.
        if (write(fd, line, static_cast<size_t>(length)) < 0) {
            // Nothing to do: the log only helps a person reading it.
        }
        close(fd);
    }
}

void sleep_ms(int ms)
{
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) { }
}

// Answers one request from the drive in `path`; returns what ioctl() returns, errno set.
int answer(const char* path, unsigned long request, void* arg)
{
    const int fd = fakecd::open_drive_file(path, false);
    if (fd < 0) {
        return -1;
    }
    int result = 0;
    for (int retry = 0;; retry++) {
        fakecd::DriveState drive;
        if (!fakecd::take_drive(fd, &drive)) {
            result = -EIO;
            break;
        }
        result = fakecd::drive_ioctl(&drive, request, arg, fakecd::monotonic_ms(), retry);
        const int retry_ms = drive.retry_ms;
        fakecd::give_back_drive(fd, &drive);
        if (result != fakecd::RETRY_LATER) {
            break;
        }
        // As Linux's sr driver does while a drive becomes ready: the caller is held meanwhile,
        // but the drive is free for others (the person at it, another process).
        sleep_ms(retry_ms);
    }
    close(fd);
    log_answer(request, result);
    if (result < 0) {
        errno = -result;
        return -1;
    }
    return result;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    const int saved_errno = errno;
    if (((request >> 8) & 0xff) == 0x53 && fakecd::drive_handles(request)) {
        const char* path = device_path();
        if (path != nullptr && is_the_device(fd, path)) {
            errno = saved_errno;
            return answer(path, request, arg);
        }
        errno = saved_errno;
    }
    ioctl_function real = real_ioctl();
    if (real == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    return real(fd, request, arg);
}
