// The guards of a write before anything changes: the image's ID string
// against the board's, the image digest, the list of approved images.
#include <dirent.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "cli/cli_helpers.h"

namespace {

using namespace cli;
using json = nlohmann::json;

constexpr const char* kBoardIdString = "RW-SIM DUAL 25GB";

// The image with ID string id (16 bytes) in every copy, checksums fixed.
std::vector<uint8_t> with_id_string(std::vector<uint8_t> img, size_t first_copy, const char* id) {
    for (uint32_t i = 0; i < kCopies; ++i) {
        uint8_t* c = &img[first_copy + 0x400 * i];
        std::memcpy(c + 3, id, 16);
        set_identity(c, kOtherPn, kOtherSn, kOtherMac);
    }
    return img;
}

size_t files_in(const std::string& dir) {
    size_t n = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

struct image_case {
    const char* what;
    std::vector<uint8_t> image;
    const char* argument;
    std::string says;
};

// write, with -plan and without, refuses the image with status 1, its lead
// and its words; the EEPROM and the image file stay as they were.
void expect_refused(const image_case& c, const std::string& lead = "") {
    SCOPED_TRACE(c.what);
    board b;
    write_file(b.file("img.bin"), c.image);
    for (const char* plan : {"", "-plan"}) {
        std::vector<std::string> words = {"-b", "04:00.0", "write", c.argument};
        if (*plan)
            words.push_back(plan);
        const run_result r = b.run(words);
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_NE(r.out.find(lead), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("nothing was changed"), std::string::npos);
    }
    EXPECT_EQ(b.contents(), sample_board());
    EXPECT_EQ(read_file(b.file("img.bin")), c.image);
    EXPECT_EQ(files_in(b.file("backups")), 0u);
    EXPECT_FALSE(exists(b.journal()));
}

TEST(image_trust, an_image_of_another_board_is_refused_and_nothing_changes) {
    const std::vector<uint8_t> full = changed_full_image();
    const std::vector<uint8_t> vpd_only = slice(full, 0x400, 0x8000);
    const image_case cases[] = {
        {"another ID string, -f", with_id_string(full, 0x400, "OTHER BOARD 10GB"), "-f:img.bin",
         std::string("the board's ID string is \"") + kBoardIdString + "\", the image's is \"OTHER BOARD 10GB\""},
        {"another ID string, -fvpd", with_id_string(vpd_only, 0, "OTHER BOARD 10GB"), "-fvpd:img.bin",
         "the image's is \"OTHER BOARD 10GB\""},
        {"a control byte in the ID string is shown escaped", with_id_string(full, 0x400, "RW-SIM DUAL 25G\x1b"),
         "-f:img.bin", "the image's is \"RW-SIM DUAL 25G\\x1b\""},
        {"blank image", std::vector<uint8_t>(0x8000, 0xFF), "-f:img.bin",
         std::string("it has no good VPD copy (the board's ID string is \"") + kBoardIdString + "\")"},
    };
    for (const image_case& c : cases)
        expect_refused(c, "ERROR: img.bin is not an image of this board: ");
}

TEST(image_trust, force_image_writes_another_board_image_and_says_so) {
    board b;
    write_file(b.file("img.bin"), with_id_string(changed_full_image(), 0x400, "OTHER BOARD 10GB"));
    const run_result r = b.run({"-b", "04:00.0", "-json", "-force-image", "write", "-f:img.bin"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.err.find("-force-image: writing img.bin, whose ID string \"OTHER BOARD 10GB\" is not the board's \"" +
                         std::string(kBoardIdString) + "\""),
              std::string::npos)
        << r.err;
    const json doc = json::parse(r.out);
    EXPECT_EQ(doc["forced"], true);
    EXPECT_EQ(doc["changed"], true);
    EXPECT_EQ(std::memcmp(&b.contents()[0x803], "OTHER BOARD 10GB", 16), 0);
    // The board kept its identity.
    EXPECT_EQ(std::memcmp(&b.contents()[0x800 + 63], kBoardSn, 24), 0);

    // An image of this board is written as before, not forced.
    board same;
    write_file(same.file("img.bin"), changed_full_image());
    const run_result s = same.run({"-b", "04:00.0", "-json", "-force-image", "write", "-f:img.bin"});
    ASSERT_EQ(s.status, 0) << s.out;
    EXPECT_EQ(json::parse(s.out)["forced"], false);
    EXPECT_EQ(s.err.find("-force-image"), std::string::npos);
}

// Copies `first` to 13 of a whole image: another ID string, and the end
// tag gone (each checksum good).
std::vector<uint8_t> foreign_and_unended(std::vector<uint8_t> img, uint32_t first) {
    for (uint32_t i = first; i < kCopies; ++i) {
        uint8_t* c = &img[0x400 + 0x400 * i];
        std::memcpy(c + 3, "OTHER BOARD 10GB", 16);
        c[106] = 0xFF;
        set_identity(c, kOtherPn, kOtherSn, kOtherMac);
    }
    return img;
}

// Every copy of a whole image with a second SN keyword of 60 bytes behind RV.
std::vector<uint8_t> second_sn(std::vector<uint8_t> img) {
    for (uint32_t i = 0; i < kCopies; ++i) {
        uint8_t* c = &img[0x400 + 0x400 * i];
        c[20] = 84 + 63;
        std::memcpy(c + 106, "SN\x3c", 3);
        std::memset(c + 109, 'X', 60);
        c[169] = 0x78;
        set_identity(c, kOtherPn, kOtherSn, kOtherMac);
    }
    return img;
}

// Every copy of the image is judged, with the board's identity put in: one
// that is not good, or unlike the others beyond the identity, refuses the
// image unless -force-image.
TEST(image_trust, an_image_whose_copies_are_not_all_good_and_alike_is_refused) {
    std::vector<uint8_t> ec_differs = changed_full_image();
    ec_differs[0x400 + 0x400 * 7 + 45] = 'Z';
    set_identity(&ec_differs[0x400 + 0x400 * 7], kOtherPn, kOtherSn, kOtherMac);
    const std::string faulty_1_to_13 =
        "ERROR: img.bin is not a whole image: with the board's identity put in, its VPD copies 1, 2, 3, 4, 5, 6, 7, "
        "8, 9, 10, 11, 12 and 13 are faulty; nothing was changed.\nGive -force-image to write it all the same.\n";
    const image_case cases[] = {
        {"copies 1-13 of another ID string without an end tag, -f", foreign_and_unended(changed_full_image(), 1),
         "-f:img.bin", faulty_1_to_13},
        {"the same, -fvpd", slice(foreign_and_unended(changed_full_image(), 1), 0x400, 0x8000), "-fvpd:img.bin",
         faulty_1_to_13},
        {"one copy unlike the others", ec_differs, "-f:img.bin",
         "its VPD copy 7 differs from the other copies in more than the identity; nothing was changed."},
        {"a second SN in every copy", second_sn(changed_full_image()), "-f:img.bin",
         "ERROR: img.bin is not an image of this board: it has no good VPD copy"},
    };
    for (const image_case& c : cases)
        expect_refused(c);

    // -force-image writes them, each note naming what is true of the image.
    struct forced_case {
        const char* what;
        std::vector<uint8_t> image;
        std::string note;
        int good_after;  // copies of the board
    } forced[] = {
        {"copies 1-13 faulty", foreign_and_unended(changed_full_image(), 1),
         "romwright: -force-image: writing img.bin, which is not a whole image: its VPD copies 1, 2, 3, 4, 5, 6, 7, 8, "
         "9, 10, 11, 12 and 13 are faulty\n",
         1},
        {"no good copy", second_sn(changed_full_image()),
         std::string("romwright: -force-image: writing img.bin, which has no good VPD copy (the board's ID string is "
                     "\"") +
             kBoardIdString + "\")\n",
         0},
    };
    for (const forced_case& c : forced) {
        SCOPED_TRACE(c.what);
        board b;
        write_file(b.file("img.bin"), c.image);
        const run_result r = b.run({"-b", "04:00.0", "-json", "-force-image", "write", "-f:img.bin"});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.err.find(c.note), std::string::npos) << r.err;
        EXPECT_EQ(json::parse(r.out)["forced"], true);
        const run_result v = b.run({"-b", "04:00.0", "-json", "vpd"});
        EXPECT_EQ(json::parse(v.out)["summary"]["good"], c.good_after) << v.out;
    }
}

// The board's ID string is the one most of its good copies hold, not the
// copy at 0x0800's alone.
TEST(image_trust, the_boards_id_string_is_the_one_most_good_copies_hold) {
    board b;
    std::vector<uint8_t> e = sample_board();
    std::memcpy(&e[0x800 + 3], "OTHER BOARD 10GB", 16);
    set_identity(&e[0x800], kBoardPn, kBoardSn, kBoardMac);
    write_file(b.eeprom(), e);
    write_file(b.file("other.bin"), with_id_string(changed_full_image(), 0x400, "OTHER BOARD 10GB"));
    const run_result other = b.run({"-b", "04:00.0", "write", "-f:other.bin"});
    EXPECT_EQ(other.status, 1);
    EXPECT_NE(other.out.find(std::string("the board's ID string is \"") + kBoardIdString +
                             "\", the image's is \"OTHER BOARD 10GB\""),
              std::string::npos)
        << other.out;
    EXPECT_EQ(b.contents(), e);

    write_file(b.file("img.bin"), changed_full_image());
    const run_result r = b.run({"-b", "04:00.0", "write", "-f:img.bin"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(b.contents(), flashed(with_board_identity(changed_full_image()), e));
}

std::string digest_of(const board& b, const std::string& file) {
    const run_result r = run_program(vpd_path(), {"digest", file}, b.file(""));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.substr(64), "  " + file + "\n");
    return r.out.substr(0, 64);
}

TEST(image_trust, one_image_has_one_digest_whichever_identity_it_carries) {
    board b;
    const std::vector<uint8_t> img = changed_full_image();
    write_file(b.file("other.bin"), img);
    write_file(b.file("this.bin"), with_board_identity(img));
    std::vector<uint8_t> changed = img;
    changed[0x400 + 44] = 'C';  // the engineering-change byte of one copy
    write_file(b.file("changed.bin"), changed);
    write_file(b.file("vpd.bin"), slice(img, 0x400, 0x8000));
    write_file(b.file("vpd2.bin"), slice(with_board_identity(img), 0x400, 0x8000));
    const std::string d = digest_of(b, "other.bin");
    EXPECT_EQ(digest_of(b, "this.bin"), d);
    EXPECT_NE(digest_of(b, "changed.bin"), d);
    EXPECT_EQ(digest_of(b, "vpd2.bin"), digest_of(b, "vpd.bin"));
    EXPECT_NE(digest_of(b, "vpd.bin"), d);
    const run_result both = run_program(vpd_path(), {"digest", "other.bin", "this.bin"}, b.file(""));
    EXPECT_EQ(both.out, d + "  other.bin\n" + d + "  this.bin\n");

    // romwright's document carries the same digest, and the write leaves
    // the file's digest as it was.
    const run_result w = b.run({"-b", "04:00.0", "-json", "write", "-f:other.bin"});
    ASSERT_EQ(w.status, 0) << w.out;
    EXPECT_EQ(json::parse(w.out)["image_digest"], d);
    EXPECT_EQ(digest_of(b, "other.bin"), d);
}

TEST(image_trust, only_listed_images_are_written_with_an_approved_list) {
    const std::vector<uint8_t> img = changed_full_image();
    struct list_case {
        const char* what;
        std::string list;  // "@": the image's digest; "-": no file
        int status;
        std::string says;
        bool changes;
    } cases[] = {
        {"listed", "# approved\n\n@  fw-2.1.bin\n", 0, "", true},
        {"listed in capital digits", "CAPS  fw.bin\n", 0, "", true},
        // sha256sum's own lines: an escaped name, a byte-order mark first.
        {"escaped name", "\\@  fw\\\\new.bin\n", 0, "", true},
        {"byte-order mark", "\xEF\xBB\xBF@  fw.bin\n", 0, "", true},
        {"not listed", std::string(64, 'a') + "  fw-2.0.bin\n", 1, "its digest @ is not on the list", false},
        {"malformed line", "# approved\n@ fw.bin\n", 255, "approved, line 2: not a digest", false},
        {"short digest", "abc  fw.bin\n", 255, "line 1", false},
        {"no such list", "-", 255, "cannot read", false},
    };
    for (const list_case& c : cases) {
        SCOPED_TRACE(c.what);
        board b;
        write_file(b.file("img.bin"), img);
        const std::string d = digest_of(b, "img.bin");
        auto at_digest = [&](std::string s) {
            for (size_t at; (at = s.find('@')) != std::string::npos;)
                s.replace(at, 1, d);
            if (s.rfind("CAPS", 0) == 0) {
                std::string up = d;
                for (char& ch : up)
                    ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
                s.replace(0, 4, up);
            }
            return s;
        };
        if (c.list != "-")
            write_text(b.file("approved"), at_digest(c.list));
        const run_result r = b.run({"-b", "04:00.0", "write", "-f:img.bin", "-approved", "approved"});
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_NE(r.out.find(at_digest(c.says)), std::string::npos) << r.out;
        EXPECT_EQ(b.contents() != sample_board(), c.changes);
        if (c.status == 255) {  // refused before the adapter is touched
            EXPECT_EQ(b.trace_text(), "");
        }
    }
    // A list that is no plain file is no empty list; a refusal's JSON names
    // the digest its text names.
    board b;
    write_file(b.file("img.bin"), img);
    EXPECT_EQ(b.run({"-b", "04:00.0", "write", "-f:img.bin", "-approved", "/dev/null"}).status, 255);
    write_text(b.file("approved"), std::string(64, 'a') + "  other.bin\n");
    const run_result r = b.run({"-b", "04:00.0", "write", "-f:img.bin", "-approved", "approved", "-json"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(json::parse(r.out)["image_digest"], digest_of(b, "img.bin")) << r.out;
    EXPECT_EQ(b.contents(), sample_board());
}

}  // namespace
