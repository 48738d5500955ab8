// The one door for every file the program creates or replaces.
#include "common/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "common/error.h"
#include "common/paths.h"
#include "common/unique_fd.h"

namespace {

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

[[noreturn]] void cannot_write(const std::string& path, const char* what, const char* step, int e) {
    throw failure(error_kind::failed, reason::output_write_failed)
        .with("what", what)
        .with("path", path)
        .with("step", step)
        .with("errno", int64_t{e})
        .with_fact("step", step)
        .with_fact("reason", std::strerror(e));
}

// A temporary file beside the target, removed unless renamed into place.
struct temporary {
    std::string path;
    unique_fd fd{-1};
    ~temporary() {
        if (!path.empty())
            ::unlink(path.c_str());
    }
};

void make_temporary(temporary& t, const std::string& path, const char* what, mode_t mode) {
    std::random_device rd;
    const std::string base = folder_of(path) + "/." + base_name_of(path) + ".";
    for (int tries = 0; tries < 100; ++tries) {
        const std::string name = base + strprintf("%08x%08x", rd(), rd());
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
        if (fd >= 0) {
            t.fd.fd = fd;
            t.path = name;
            return;
        }
        if (errno != EEXIST)
            cannot_write(path, what, "cannot create a temporary file beside it", errno);
    }
    cannot_write(path, what, "cannot create a temporary file beside it", EEXIST);
}

}  // namespace

std::string kept_path_named(const std::string& path, const std::vector<kept_path>& kept) {
    struct stat st, folder;
    const bool exists = ::stat(path.c_str(), &st) == 0;
    const bool have_folder = ::stat(folder_of(path).c_str(), &folder) == 0;
    for (const kept_path& k : kept) {
        struct stat own, own_folder;
        if (k.path.empty())
            continue;
        if (::stat(k.path.c_str(), &own) != 0) {
            // Not made yet (a history file before the first change): the
            // same name in the same folder is the same file.
            if (!k.folder && have_folder && ::stat(folder_of(k.path).c_str(), &own_folder) == 0 &&
                same_file(folder, own_folder) && base_name_of(path) == base_name_of(k.path))
                return k.what;
            continue;
        }
        const std::string name = base_name_of(path);
        const bool named = name.size() >= k.suffix.size() &&
                           name.compare(name.size() - k.suffix.size(), k.suffix.size(), k.suffix) == 0;
        if ((exists && same_file(st, own)) || (k.folder && have_folder && same_file(folder, own) && named))
            return k.what;
    }
    return "";
}

std::string output_refusal(const std::string& path, const std::vector<kept_path>& kept) {
    if (path.empty())
        return "names no file";
    struct stat st;
    const bool exists = ::lstat(path.c_str(), &st) == 0;
    if (!exists && errno != ENOENT)
        return strprintf("cannot be looked at (%s)", std::strerror(errno));
    if (exists && !S_ISREG(st.st_mode))
        return strprintf("is %s, not a plain file", file_kind_of(st.st_mode));
    const std::string own = kept_path_named(path, kept);
    return own.empty() ? "" : "is " + own;
}

void check_output_path(const std::string& path, const char* what, const std::vector<kept_path>& kept) {
    const std::string why = output_refusal(path, kept);
    if (!why.empty())
        throw failure(error_kind::failed, reason::output_refused).with("what", what).with("path", path).with("why", why);
}

namespace {

// The temporary file beside path, holding bytes with mode, on the disk.
void fill_temporary(temporary& t, const std::string& path, const char* what, const void* bytes, size_t size,
                    mode_t mode) {
    make_temporary(t, path, what, 0600);
    const char* p = static_cast<const char*>(bytes);
    for (size_t done = 0; done < size;) {
        const ssize_t n = ::write(t.fd.fd, p + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            cannot_write(path, what, "write", n < 0 ? errno : EIO);
        done += static_cast<size_t>(n);
    }
    if (::fchmod(t.fd.fd, mode) != 0)
        cannot_write(path, what, "fchmod", errno);
    if (::fsync(t.fd.fd) != 0)
        cannot_write(path, what, "fsync", errno);
    if (::close(t.fd.release()) != 0)
        cannot_write(path, what, "close", errno);
}

void sync_folder_of(const std::string& path) {
    const unique_fd dir(::open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd >= 0)
        ::fsync(dir.fd);
}

}  // namespace

void replace_file(const std::string& path, const char* what, const void* bytes, size_t size, mode_t mode,
                  const std::vector<kept_path>& kept) {
    check_output_path(path, what, kept);
    temporary t;
    fill_temporary(t, path, what, bytes, size, mode);
    // What stands there now, not what stood there when the run began.
    check_output_path(path, what, kept);
    if (::rename(t.path.c_str(), path.c_str()) != 0)
        cannot_write(path, what, "rename", errno);
    t.path.clear();
    sync_folder_of(path);  // the rename itself, on the disk
}

bool create_file(const std::string& path, const char* what, const void* bytes, size_t size, mode_t mode) {
    temporary t;
    fill_temporary(t, path, what, bytes, size, mode);
    // link() never follows a link at path and never replaces what is there.
    if (::link(t.path.c_str(), path.c_str()) != 0) {
        if (errno == EEXIST)
            return false;
        cannot_write(path, what, "link", errno);
    }
    sync_folder_of(path);
    return true;
}
