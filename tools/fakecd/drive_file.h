// The drive's record in its file, read and written under an exclusive flock.
#pragma once

#include "tools/fakecd/drive.h"

namespace fakecd {

// Opens the drive's file for reading and writing (-1 on failure, errno set).
int open_drive_file(const char* path, bool create);
// Takes the drive: locks the file and reads the record. False (lock released) when the file
// holds no drive.
bool take_drive(int fd, DriveState* drive);
// Writes the record back and releases the lock.
bool give_back_drive(int fd, const DriveState* drive);
void release_drive(int fd);

}  // namespace fakecd
