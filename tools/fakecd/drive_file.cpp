#include "tools/fakecd/drive_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace fakecd {

int open_drive_file(const char* path, bool create)
{
    return open(path, O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
}

bool take_drive(int fd, DriveState* drive)
{
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    if (pread(fd, drive, sizeof(*drive), 0) != static_cast<ssize_t>(sizeof(*drive)) || !drive_valid(drive)) {
        release_drive(fd);
        return false;
    }
    return true;
}

bool give_back_drive(int fd, const DriveState* drive)
{
    // In place: the file keeps its inode, which is how the drive is recognised.
    const bool written = pwrite(fd, drive, sizeof(*drive), 0) == static_cast<ssize_t>(sizeof(*drive));
    release_drive(fd);
    return written;
}

void release_drive(int fd)
{
    flock(fd, LOCK_UN);
}

}  // namespace fakecd
