// Inputs kept from fuzzing (fuzz/regressions/<target>/) and the fuzzers'
// seeds (fuzz/corpus/<target>/), replayed through the same entry functions
// as the fuzz targets.  Each must come back (no crash; the sanitizer build
// also catches memory errors) with an outcome the program documents.
#include <dirent.h>

#include <algorithm>
#include <set>

#include "fuzz/entries.h"
#include "support/support.h"

namespace {

std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d)) {
            if (e->d_name[0] != '.')
                out.push_back(dir + "/" + e->d_name);
        }
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

using entry_fn = int (*)(const uint8_t*, size_t);

struct target {
    const char* name;
    entry_fn entry;
    std::set<int> outcomes;
};

const target k_targets[] = {
    // -1: passed over (a '/' in a word); else 0, 1, 255 (statuses).
    {"fuzz_args", fuzz_args_entry, {-1, 0, 1, 255}},
    // file status (0 accepted, 1 invalid line) * 2 + line accepted (0/1).
    {"fuzz_boardinfo", fuzz_boardinfo_entry, {0, 1, 2, 3}},
    // insert_identity: 0 taken, -2 refused (nothing changed).
    {"fuzz_identity", fuzz_identity_entry, {0, -2}},
    // decode_vpd_copy: 1 a good copy, 0 not.
    {"fuzz_vpd", fuzz_vpd_entry, {0, 1}},
};

void replay(const target& t, const std::string& dir, size_t* count) {
    for (const std::string& path : files_in(dir)) {
        std::vector<uint8_t> bytes = read_file(path);
        int outcome = 0;
        capture_stdout([&] { outcome = t.entry(bytes.data(), bytes.size()); });
        EXPECT_TRUE(t.outcomes.count(outcome)) << path << " gave " << outcome;
        ++*count;
    }
}

TEST(fuzz_replay, kept_inputs_and_seeds_come_back_with_documented_outcomes) {
    const std::string regressions = ROMWRIGHT_FUZZ_REGRESSIONS;
    const std::string corpus = regressions + "/../corpus";
    for (const target& t : k_targets) {
        size_t seeds = 0, kept = 0;
        replay(t, corpus + "/" + t.name, &seeds);
        replay(t, regressions + "/" + t.name, &kept);
        EXPECT_GT(seeds, 0u) << "no seeds for " << t.name;
    }
}

// The seeds are well-formed inputs: each must take the program's good path.
TEST(fuzz_replay, well_formed_seeds_succeed) {
    const std::string corpus = std::string(ROMWRIGHT_FUZZ_REGRESSIONS) + "/../corpus";
    std::vector<uint8_t> info = read_file(corpus + "/fuzz_boardinfo/identity.txt");
    std::vector<uint8_t> vpd = read_file(corpus + "/fuzz_identity/vpd_image.bin");
    std::vector<uint8_t> dump = read_file(corpus + "/fuzz_args/dump_copy");
    ASSERT_FALSE(info.empty());
    ASSERT_EQ(vpd.size(), 31744u);
    ASSERT_FALSE(dump.empty());
    std::string out;
    int r = 0;
    out = capture_stdout([&] { r = fuzz_boardinfo_entry(info.data(), info.size()); });
    EXPECT_EQ(r, 1) << out;  // the file is accepted, its first line alone too
    out = capture_stdout([&] { r = fuzz_identity_entry(vpd.data(), vpd.size()); });
    EXPECT_EQ(r, 0) << out;
    EXPECT_EQ(out, "");
    EXPECT_EQ(fuzz_vpd_entry(vpd.data(), vpd.size()), 1);
    out = capture_stdout([&] { r = fuzz_args_entry(dump.data(), dump.size()); });
    EXPECT_EQ(r, 0) << out;
    EXPECT_NE(out.find("\n0400:  82 10 00"), std::string::npos) << out;
}

}  // namespace
