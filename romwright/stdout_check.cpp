#include "romwright/stdout_check.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

bool standard_output_lost(const char* program, int first_errno) {
    errno = 0;
    const bool unflushed = std::fflush(stdout) != 0;
    const int flush_errno = errno;
    if (!unflushed && !std::ferror(stdout))
        return false;
    const int e = first_errno ? first_errno : flush_errno;
    std::fprintf(stderr, "%s: standard output could not be written%s%s\n", program, e ? ": " : "",
                 e ? std::strerror(e) : "");
    std::clearerr(stdout);
    return true;
}
