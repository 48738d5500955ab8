// The image digest and the lists of approved digests.
#include "eeprom/image_digest.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "common/error.h"
#include "common/input_file.h"
#include "common/sha256.h"
#include "eeprom/eeprom.h"

namespace {

bool hex_digest(const std::string& s) {
    if (s.size() != 64)
        return false;
    for (char c : s)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

}  // namespace

int image_first_copy(size_t image_size) {
    if (image_size == SEEPROM_SIZE)
        return static_cast<int>(VPD_AREA_START);
    if (image_size == VPD_AREA_SIZE)
        return 0;
    return -1;
}

std::string image_digest(const std::vector<uint8_t>& image) {
    const int first = image_first_copy(image.size());
    if (first < 0)
        return sha256_hex(image);
    std::vector<uint8_t> b(image);
    for (int i = 0; i < VPD_COPIES_IN_IMAGE; ++i)
        mask_identity(&b[static_cast<size_t>(first) + size_t{VPD_COPY_SIZE} * static_cast<size_t>(i)],
                      IMAGE_DIGEST_MASK);
    return sha256_hex(b);
}

bool approved_list::lists(const std::string& digest) const {
    for (const std::string& d : digests)
        if (d == digest)
            return true;
    return false;
}

approved_list read_approved_list(const std::string& path) {
    const auto bad = [&](reason why) { return failure(error_kind::usage, why).with("path", path); };
    // A list far beyond any real one is no list.
    const input_file in = read_input_file(path, {size_t{16} << 20});
    if (!in.ok())
        throw bad(in.error ? reason::approved_list_unreadable : reason::approved_list_refused).with("why", in.refusal);
    if (in.bytes.size() > (size_t{16} << 20))
        throw bad(reason::approved_list_too_big);
    std::string text(in.bytes.begin(), in.bytes.end());
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)  // a byte-order mark some editors put first
        text.erase(0, 3);
    approved_list out;
    size_t at = 0;
    for (int n = 1; at < text.size(); ++n) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        const size_t start = line.find_first_not_of(" \t\r");
        if (start == std::string::npos || line[start] == '#')
            continue;
        // sha256sum marks a line whose name it had to escape with a '\'
        // before the digest.
        if (line[0] == '\\')
            line.erase(0, 1);
        // DIGEST, two spaces (or a space and '*', sha256sum's binary mark), a name.
        std::string digest = line.substr(0, 64);
        const bool layout = line.size() > 66 && line[64] == ' ' && (line[65] == ' ' || line[65] == '*');
        if (!hex_digest(digest) || !layout)
            throw bad(reason::approved_list_bad_line).with("line", int64_t{n});
        for (char& c : digest)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        out.digests.push_back(digest);
    }
    return out;
}

std::string held_image_digest(const std::vector<uint8_t>& image) {
    const int first = image_first_copy(image.size());
    if (first < 0)
        return image_digest(image);
    // The image's byte at EEPROM address a is b[a - base].
    const uint32_t base = first == 0 ? VPD_AREA_START : 0;
    std::vector<uint8_t> b(image);
    for (uint32_t a = base; a < SEEPROM_SIZE; ++a)
        if (in_skip_window(a & ~3u) || (a & ~3u) == STATUS_WORD_ADDR)
            b[a - base] = IMAGE_DIGEST_MASK;
    return image_digest(b);
}
