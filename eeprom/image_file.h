// Image files: read once, before the adapter is touched, and (for write)
// locked against other runs until this run ends.  What is flashed is the
// bytes read here, never a second read of the file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/observer.h"

class image_file {
public:
    enum class use {
        read,    // verify, restore: only read (a pipe or FIFO will do)
        update,  // write -f/-fvpd: the board's identity goes into the file
    };

    // Opens and reads path: at most max_bytes + 1 bytes, so that a longer
    // file shows as such.  For update, takes an exclusive lock on the file
    // first (waiting, with a note, while another run holds it); a file that
    // nobody may write (no write bit in its mode) is read but never changed
    // (updatable() false).  Throws failure (error_kind::file) when the file
    // cannot be opened or read, a folder among others.
    static std::unique_ptr<image_file> open(const std::string& path, use how, uint32_t max_bytes, observer& obs);

    ~image_file();
    image_file(const image_file&) = delete;
    image_file& operator=(const image_file&) = delete;

    const std::string& path() const { return path_; }
    const std::vector<uint8_t>& bytes() const { return bytes_; }
    bool updatable() const { return updatable_; }

    // Writes bytes (the file's size) over the file in one piece, flushed to
    // disk.  Throws failure when any step fails.
    void replace(const std::vector<uint8_t>& bytes);
    // Gives the file the bytes it was read with; false (errno set) when
    // that fails.
    bool give_back();

private:
    image_file() = default;
    bool write_all(const std::vector<uint8_t>& bytes);
    std::string path_;
    std::vector<uint8_t> bytes_;
    int fd_ = -1;
    bool updatable_ = false;
};

// Gives an image file its earlier bytes back unless the change it carried
// was committed: on every way out (refusal, failure, signal, exception).
class image_file_guard {
public:
    explicit image_file_guard(observer& obs) : obs_(obs) {}
    ~image_file_guard();
    image_file_guard(const image_file_guard&) = delete;
    image_file_guard& operator=(const image_file_guard&) = delete;
    // Arms the guard once the file holds changed bytes.
    void arm(image_file* f) { file_ = f; }
    void commit() { file_ = nullptr; }

private:
    observer& obs_;
    image_file* file_ = nullptr;
};
