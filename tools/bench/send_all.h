#pragma once
// Writes all of data to a socket, going on after partial writes and interruptions.
#include <sys/socket.h>

#include <cerrno>
#include <cstddef>

inline bool send_all(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}
