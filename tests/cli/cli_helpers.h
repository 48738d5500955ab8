// Helpers shared by the end-to-end tests: a simulated board kept in an
// EEPROM file, image builders and the sample board's identity.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "support/support.h"

namespace cli {

constexpr uint32_t kCopies = 14;
constexpr uint32_t kSkipFirst = 0x1AE0;  // first and one past the last byte
constexpr uint32_t kSkipEnd = 0x1BBC;    // that bulk writes never change

// The identity of the built-in sample board and another one, carried by
// the image files that write is given.
inline const char* const kBoardPn = "1102005SIMA00001";
inline const char* const kBoardSn = "PTSIM0000000000000012345";
inline const char* const kBoardMac = "0C4E29000001";
inline const char* const kOtherPn = "1109999OTHER0002";
inline const char* const kOtherSn = "REOTHER00000000000099999";
inline const char* const kOtherMac = "0C4E29ABCDEF";

// The names in dir, sorted; none when it cannot be read.
inline std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                out.push_back(e->d_name);
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

inline std::string identity_lines() {
    return std::string("Using Part number(from Board)\t:") + kBoardPn + "\n" +
           "Using Serial number(from Board)\t:" + kBoardSn + "\n" + "Using MAC address(from Board)\t:" + kBoardMac +
           "\n";
}

// Writes an identity into the VPD copy at c and makes its checksum (byte
// 105) bring the sum of bytes 0..105 to 0 modulo 256.
inline void set_identity(uint8_t* c, const char* pn, const char* sn, const char* mac) {
    std::memcpy(c + 25, pn, 16);
    std::memcpy(c + 63, sn, 24);
    std::memcpy(c + 90, mac, 12);
    uint8_t sum = 0;
    for (int i = 0; i < 105; ++i)
        sum = static_cast<uint8_t>(sum + c[i]);
    c[105] = static_cast<uint8_t>(0u - sum);
}

inline unsigned copy_sum(const uint8_t* c) {
    unsigned sum = 0;
    for (int i = 0; i <= 105; ++i)
        sum += c[i];
    return sum % 256;
}

// Full EEPROM contents as an image file would carry them: the sample board
// with changed init bytes, a changed engineering-change byte in every copy,
// changed bytes behind the copies, other skip-window and status-word bytes
// and, in every copy, the other identity with its own correct checksum.
inline std::vector<uint8_t> changed_full_image() {
    std::vector<uint8_t> img = sample_board();
    std::memset(&img[0x100], 0xA5, 16);
    for (uint32_t i = 0; i < kCopies; ++i) {
        uint8_t* c = &img[0x400 + 0x400 * i];
        c[44] = 'B';
        set_identity(c, kOtherPn, kOtherSn, kOtherMac);
    }
    std::memset(&img[0x6000], 0x3C, 16);
    std::memset(&img[kSkipFirst], 'x', kSkipEnd - kSkipFirst);
    const uint8_t status[4] = {0x11, 0x22, 0x33, 0x44};
    std::memcpy(&img[0x7FFC], status, 4);
    return img;
}

// The same image once the board's own identity has been put into it.
inline std::vector<uint8_t> with_board_identity(std::vector<uint8_t> img) {
    for (uint32_t i = 0; i < kCopies; ++i)
        set_identity(&img[0x400 + 0x400 * i], kBoardPn, kBoardSn, kBoardMac);
    return img;
}

// What the EEPROM must hold after full contents `written` were flashed over
// `before`: the skip window and the status word keep their old bytes.
inline std::vector<uint8_t> flashed(std::vector<uint8_t> written, const std::vector<uint8_t>& before) {
    std::copy(before.begin() + kSkipFirst, before.begin() + kSkipEnd, written.begin() + kSkipFirst);
    std::copy(before.begin() + 0x7FFC, before.end(), written.begin() + 0x7FFC);
    return written;
}

inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

inline std::vector<uint8_t> slice(const std::vector<uint8_t>& v, size_t from, size_t to) {
    return std::vector<uint8_t>(v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(to));
}

// A scratch directory holding an EEPROM file with the sample board; runs
// romwright-sim on it with the directory as working directory, so that
// image arguments name plain relative files.
class board {
public:
    board() { write_file(eeprom(), sample_board()); }
    std::string eeprom() const { return dir_.file("eeprom.bin"); }
    // The adapter lock every run on this EEPROM takes.
    std::string lock() const { return lock_of(eeprom()); }
    // The lock of an EEPROM file of this board's folder: named after the
    // file's device and inode.
    std::string lock_of(const std::string& file) const {
        struct stat st {};
        stat(file.c_str(), &st);
        return dir_.file("locks/romwright-" + std::to_string(static_cast<unsigned long long>(st.st_dev)) + "-" +
                         std::to_string(static_cast<unsigned long long>(st.st_ino)) + ".lock");
    }
    // The journal of a change on this EEPROM's device.
    std::string journal() const { return dir_.file("romwright-0000:04:00.journal"); }
    std::string trace() const { return dir_.file("trace.txt"); }
    std::string file(const std::string& name) const { return dir_.file(name); }
    run_result run(const std::vector<std::string>& words, std::vector<std::string> sim_opts = {}) const {
        std::vector<std::string> opts = {"--eeprom", eeprom(), "--trace", trace()};
        opts.insert(opts.end(), sim_opts.begin(), sim_opts.end());
        return run_sim(opts, words, dir_.path());
    }
    std::vector<uint8_t> contents() const { return read_file(eeprom()); }
    std::string trace_text() const { return read_text(trace()); }

private:
    temp_dir dir_;
};

}  // namespace cli
