#include "common/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/error.h"
#include "common/paths.h"
#include "common/unique_fd.h"

namespace {

input_file failed(int e) {
    input_file f;
    f.error = e;
    f.refusal = std::strerror(e);
    return f;
}

}  // namespace

input_file read_input_file(const std::string& path, const input_rules& rules) {
    const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (rules.follow_links ? 0 : O_NOFOLLOW);
    unique_fd fd(::open(path.c_str(), flags));
    if (fd.fd < 0) {
        input_file f = failed(errno);
        if (f.error == ELOOP && !rules.follow_links)
            f.refusal = "is a symbolic link";
        return f;
    }
    struct stat st;
    if (::fstat(fd.fd, &st) != 0)
        return failed(errno);
    if (S_ISDIR(st.st_mode))
        return failed(EISDIR);
    const bool pipe = S_ISFIFO(st.st_mode);
    if (!S_ISREG(st.st_mode) && !(pipe && rules.pipes)) {
        input_file f;
        f.refusal = strprintf("is %s, not a plain file", file_kind_of(st.st_mode));
        return f;
    }
    // A pipe is read to its end (or the bound) as its writer gives it; a
    // FIFO nobody writes reads as empty at once.
    if (pipe && ::fcntl(fd.fd, F_SETFL, O_RDONLY) != 0)
        return failed(errno);
    input_file f;
    f.bytes.resize(rules.max_bytes + 1);
    size_t done = 0;
    while (done < f.bytes.size()) {
        const ssize_t n = ::read(fd.fd, f.bytes.data() + done, f.bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return failed(errno);
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    f.bytes.resize(done);
    return f;
}
