// Image files read once, locked while a run may change them.
#include "eeprom/image_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/error.h"

namespace {

[[noreturn]] void cannot_open(const std::string& path) {
    throw failure(error_kind::file, reason::file_unopenable).with("path", path);
}

}  // namespace

std::unique_ptr<image_file> image_file::open(const std::string& path, use how, uint32_t max_bytes, observer& obs) {
    std::unique_ptr<image_file> f(new image_file());
    f->path_ = path;
    // Opened without blocking: a FIFO nobody writes reads as empty at once.
    f->fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat st;
    if (f->fd_ < 0 || fstat(f->fd_, &st) != 0)
        cannot_open(path);
    // A plain file, or a pipe read once; never a device, socket or folder.
    if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode)) {
        obs.notify({notice_kind::image_not_plain, fact_list().add("path", path)});
        cannot_open(path);
    }
    // A file nobody may write is never changed, even by root, who could;
    // the file updated is the one read (the same inode).
    f->updatable_ = how == use::update && S_ISREG(st.st_mode) && (st.st_mode & 0222) != 0;
    if (f->updatable_) {
        const int rw = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        struct stat again;
        if (rw < 0 || fstat(rw, &again) != 0 || again.st_dev != st.st_dev || again.st_ino != st.st_ino) {
            if (rw >= 0)
                ::close(rw);
            cannot_open(path);
        }
        ::close(f->fd_);
        f->fd_ = rw;
        if (flock(f->fd_, LOCK_EX | LOCK_NB) != 0) {
            obs.notify({notice_kind::image_waiting, fact_list().add("path", path)});
            while (flock(f->fd_, LOCK_EX) != 0)
                if (errno != EINTR)
                    cannot_open(path);
        }
    }
    if (S_ISFIFO(st.st_mode) && ::fcntl(f->fd_, F_SETFL, O_RDONLY) != 0)
        cannot_open(path);
    f->bytes_.resize(size_t{max_bytes} + 1);
    size_t done = 0;
    while (done < f->bytes_.size()) {
        const ssize_t n = ::read(f->fd_, f->bytes_.data() + done, f->bytes_.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            cannot_open(path);
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    f->bytes_.resize(done);
    return f;
}

image_file::~image_file() {
    if (fd_ >= 0)
        ::close(fd_);  // drops the lock too
}

bool image_file::write_all(const std::vector<uint8_t>& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return fsync(fd_) == 0;
}

void image_file::replace(const std::vector<uint8_t>& bytes) {
    if (!write_all(bytes)) {
        const int e = errno;
        if (!give_back())
            throw failure(error_kind::failed, reason::image_write_unrestored).with("path", path_).with("errno", int64_t{e});
        throw failure(error_kind::failed, reason::image_write_failed).with("path", path_).with("errno", int64_t{e});
    }
}

bool image_file::give_back() { return write_all(bytes_); }

image_file_guard::~image_file_guard() {
    if (file_ && !file_->give_back())
        obs_.failure_shown(failure(error_kind::failed, reason::image_not_given_back)
                               .with("path", file_->path())
                               .with("errno", int64_t{errno}));
}
