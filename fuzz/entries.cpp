#include "fuzz/entries.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/error.h"
#include "eeprom/eeprom.h"
#include "eeprom/vpd.h"
#include "romwright/front_end.h"
#include "sim/sim_adapter.h"

namespace {

// A scratch directory of this process, made on first use, emptied after
// every input (so that one input never sees another's files) and removed at
// exit.
char g_scratch[4096];

void remove_scratch_dir() { rmdir(g_scratch); }

const char* scratch_dir() {
    if (!g_scratch[0]) {
        const char* base = std::getenv("TMPDIR");
        std::snprintf(g_scratch, sizeof g_scratch, "%s/romwright-fuzz-XXXXXX", base && *base ? base : "/tmp");
        if (!mkdtemp(g_scratch))
            std::abort();
        std::atexit(remove_scratch_dir);
    }
    return g_scratch;
}

void empty_scratch_dir() {
    DIR* d = opendir(scratch_dir());
    if (!d)
        return;
    while (struct dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            unlinkat(dirfd(d), e->d_name, 0);
    }
    closedir(d);
}

void put_file(const std::string& path, const void* bytes, size_t size) {
    FILE* fp = std::fopen(path.c_str(), "wb");
    if (!fp)
        std::abort();
    if (size)
        std::fwrite(bytes, 1, size, fp);
    std::fclose(fp);
}

// Runs fn with the scratch directory as the working directory.
template <typename Fn>
void in_scratch_dir(Fn fn) {
    int home = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (home < 0 || chdir(scratch_dir()) != 0)
        std::abort();
    fn();
    if (fchdir(home) != 0)
        std::abort();
    close(home);
    empty_scratch_dir();
}

}  // namespace

int fuzz_args_entry(const uint8_t* data, size_t size) {
    std::vector<std::string> words(1, "romwright");
    std::string word;
    for (size_t i = 0; i <= size; ++i) {
        if (i == size || data[i] == '\n') {
            if (word.find('/') != std::string::npos)
                return -1;
            words.push_back(word);
            word.clear();
            if (words.size() > 64)
                return -1;
        } else {
            word.push_back(static_cast<char>(data[i]));
        }
    }

    sim_config cfg;
    cfg.write_cycle_us = 0;
    sim_platform platform(cfg);

    int status = -1;
    in_scratch_dir([&] {
        std::vector<uint8_t> board(SIM_EEPROM_SIZE);
        fill_sample_board(board.data());
        put_file("img", board.data(), board.size());
        put_file("vpd", board.data() + VPD_AREA_START, VPD_AREA_SIZE);
        put_file("init", board.data(), INIT_REGION_SIZE);
        static const char info[] = "1102005SIMA00001\nPTSIM0000000000000012345\n0C4E29000001\n";
        put_file("bi", info, sizeof info - 1);

        std::vector<std::vector<char>> storage;
        for (const std::string& w : words)
            storage.emplace_back(w.c_str(), w.c_str() + w.size() + 1);
        std::vector<char*> argv;
        for (auto& s : storage)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        status = romwright_main(platform, platform.where(), static_cast<int>(argv.size()) - 1, argv.data());
    });
    return status;
}

int fuzz_boardinfo_entry(const uint8_t* data, size_t size) {
    int result = 0;
    in_scratch_dir([&] {
        put_file("bi", data, size);
        int status = 0;
        try {
            read_board_info("bi");
        } catch (const failure& e) {
            status = e.status();
        }
        std::string line(reinterpret_cast<const char*>(data), size);
        board_identity id;
        bool valid = true;
        try {
            store_board_detail(line.c_str(), id);
        } catch (const failure&) {
            valid = false;
        }
        result = status * 2 + (valid ? 1 : 0);
    });
    return result;
}

int fuzz_identity_entry(const uint8_t* data, size_t size) {
    // A file longer than the VPD area is taken as a full image, whose copies
    // follow the 1024-byte init region.
    const int32_t first_copy = size > VPD_AREA_SIZE ? 1024 : 0;
    std::vector<uint8_t> image(data, data + size);
    const std::vector<uint8_t> before = image;
    const bool taken = !insert_identity(image, VPD_COPIES_IN_IMAGE, first_copy,
                                        {std::string(SIM_PART_NUMBER, PART_NUM_LEN),
                                         std::string(SIM_SERIAL_NUMBER, SERIAL_NUM_LEN),
                                         std::string(SIM_MAC_ADDRESS, MAC_ADDRESS_LEN)});
    // All or nothing: a refused image is left exactly as it was.
    if (!taken && image != before)
        std::abort();
    std::vector<uint8_t> copy(data, data + size);
    update_checksum(copy.data(), static_cast<uint32_t>(copy.size()));
    return taken ? 0 : -2;
}

int fuzz_vpd_entry(const uint8_t* data, size_t size) {
    const uint32_t n = static_cast<uint32_t>(size < VPD_COPY_SIZE ? size : VPD_COPY_SIZE);
    const vpd_copy_info info = decode_vpd_copy(data, n);
    // Everything the decoder reports must lie inside the copy.
    if (info.has_id_string && info.id_offset + info.id_length > n)
        std::abort();
    for (const vpd_keyword& k : info.keywords)
        if (k.offset + k.length > n)
            std::abort();
    if (info.rv_offset >= 0 && static_cast<uint32_t>(info.rv_offset) + 3 >= n)
        std::abort();
    vpd_escape(data, n);
    return info.good() ? 1 : 0;
}
