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

[[noreturn]] void untrusted(const char* what, const std::string& path, const std::string& why,
                           const char* remedy) {
    throw failure(error_kind::failed, strprintf("ERROR: the %s %s cannot be trusted: %s; nothing was done: %s and run "
                                                "again\n",
                                                what, path.c_str(), why.c_str(), remedy));
}

void check_folder(const std::string& dir, const char* what, const struct stat& st) {
    const char* remedy = "make it a folder of this user that nobody else may write";
    if (!S_ISDIR(st.st_mode))
        untrusted(what, dir, "it is not a folder (a link or another file stands there)", remedy);
    if (st.st_uid != geteuid())
        untrusted(what, dir, strprintf("it belongs to user %u, not to this user", static_cast<unsigned>(st.st_uid)),
                  remedy);
    if ((st.st_mode & 022) != 0)
        untrusted(what, dir, strprintf("others may write it (mode %04o)", static_cast<unsigned>(st.st_mode & 07777)),
                  remedy);
}

void make_folders(const std::string& dir, const char* what) {
    struct stat st;
    if (lstat(dir.c_str(), &st) == 0)
        return;
    const std::string parent = folder_of(dir);
    if (parent != dir && parent != "." && parent != "/")
        make_folders(parent, what);
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        throw failure(error_kind::failed, strprintf("ERROR: cannot create the %s %s: %s; nothing was done\n", what,
                                                    dir.c_str(), std::strerror(errno)));
}

}  // namespace

void make_private_folder(const std::string& dir, const char* what) {
    make_folders(dir, what);
    if (!check_private_folder(dir, what))
        throw failure(error_kind::failed, strprintf("ERROR: cannot create the %s %s: %s; nothing was done\n", what,
                                                    dir.c_str(), std::strerror(ENOENT)));
}

bool check_private_folder(const std::string& dir, const char* what) {
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return false;
        throw failure(error_kind::failed, strprintf("ERROR: cannot read the %s %s: %s; nothing was done\n", what,
                                                    dir.c_str(), std::strerror(errno)));
    }
    check_folder(dir, what, st);
    return true;
}

std::optional<std::vector<uint8_t>> read_private_file(const std::string& path, const char* what, size_t max_bytes) {
    const char* remedy = "remove it";
    unique_fd f(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (f.fd < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        if (errno == ELOOP)
            untrusted(what, path, "it is a symbolic link", remedy);
        throw failure(error_kind::failed, strprintf("ERROR: cannot read the %s %s: %s; nothing was done\n", what,
                                                    path.c_str(), std::strerror(errno)));
    }
    struct stat st;
    if (fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode))
        untrusted(what, path, "it is not a plain file (a FIFO, a device or a folder stands there)", remedy);
    if (st.st_uid != geteuid())
        untrusted(what, path, strprintf("it belongs to user %u", static_cast<unsigned>(st.st_uid)), remedy);
    if (static_cast<uint64_t>(st.st_size) > max_bytes)
        untrusted(what, path,
                  strprintf("it holds %lld bytes, more than the %zu it can hold", static_cast<long long>(st.st_size),
                            max_bytes),
                  remedy);
    std::vector<uint8_t> bytes(max_bytes + 1);
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(f.fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw failure(error_kind::failed, strprintf("ERROR: cannot read the %s %s: %s; nothing was done\n", what,
                                                        path.c_str(), std::strerror(errno)));
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    if (done > max_bytes)
        untrusted(what, path, strprintf("it holds more than the %zu bytes it can hold", max_bytes), remedy);
    bytes.resize(done);
    return bytes;
}
