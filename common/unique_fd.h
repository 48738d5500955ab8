// An owned file descriptor: closed when the owner goes away.  Where a failed
// close matters, release() it and close() by hand.
#pragma once

#include <unistd.h>

struct unique_fd {
    int fd;
    explicit unique_fd(int f) : fd(f) {}
    ~unique_fd() {
        if (fd >= 0)
            ::close(fd);
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    int release() {
        const int f = fd;
        fd = -1;
        return f;
    }
};
