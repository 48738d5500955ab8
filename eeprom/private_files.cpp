// Folders and files romwright keeps for itself.
#include "eeprom/private_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/error.h"
#include "common/unique_fd.h"

namespace {

failure private_failure(reason why, const char* what, const std::string& path) {
    return failure(error_kind::failed, why).with("what", what).with("path", path);
}

[[noreturn]] void cannot(reason why, const char* what, const std::string& path, int err) {
    throw private_failure(why, what, path).with("errno", int64_t{err});
}

void check_folder(const std::string& dir, const char* what, const struct stat& st) {
    if (!S_ISDIR(st.st_mode))
        throw private_failure(reason::private_not_folder, what, dir);
    if (st.st_uid != geteuid())
        throw private_failure(reason::private_folder_owner, what, dir).with("uid", int64_t{st.st_uid});
    if ((st.st_mode & 022) != 0)
        throw private_failure(reason::private_folder_writable, what, dir).with("mode", int64_t{st.st_mode & 07777});
}

void make_folders(const std::string& dir, const char* what) {
    struct stat st;
    if (lstat(dir.c_str(), &st) == 0)
        return;
    const std::string parent = folder_of(dir);
    if (parent != dir && parent != "." && parent != "/")
        make_folders(parent, what);
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        cannot(reason::private_create, what, dir, errno);
}

}  // namespace

void make_private_folder(const std::string& dir, const char* what) {
    make_folders(dir, what);
    if (!check_private_folder(dir, what))
        cannot(reason::private_create, what, dir, ENOENT);
}

bool check_private_folder(const std::string& dir, const char* what) {
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return false;
        cannot(reason::private_read, what, dir, errno);
    }
    check_folder(dir, what, st);
    return true;
}

std::optional<std::vector<uint8_t>> read_private_file(const std::string& path, const char* what, size_t max_bytes) {
    unique_fd f(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (f.fd < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        if (errno == ELOOP)
            throw private_failure(reason::private_is_link, what, path);
        cannot(reason::private_read, what, path, errno);
    }
    struct stat st;
    if (fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode))
        throw private_failure(reason::private_not_plain, what, path);
    if (st.st_uid != geteuid())
        throw private_failure(reason::private_owner, what, path).with("uid", int64_t{st.st_uid});
    if (static_cast<uint64_t>(st.st_size) > max_bytes)
        throw private_failure(reason::private_too_big, what, path)
            .with("size", int64_t{st.st_size})
            .with("max", static_cast<int64_t>(max_bytes));
    std::vector<uint8_t> bytes(max_bytes + 1);
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(f.fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            cannot(reason::private_read, what, path, errno);
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    if (done > max_bytes)
        throw private_failure(reason::private_grew, what, path).with("max", static_cast<int64_t>(max_bytes));
    bytes.resize(done);
    return bytes;
}
