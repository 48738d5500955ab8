// The front end: numbers, adapter addresses, image arguments, and the rule
// that a bad command line or bad input file never reaches a register.
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "eeprom/eeprom.h"
#include "romwright/front_end.h"
#include "unit_support.h"

namespace {

struct number_case {
    const char* word;
    const char* text;
    uint32_t value;
    const char* warning;
};

TEST(number_argument, reads_hex_and_decimal_and_warns_out_of_bounds) {
    const number_case cases[] = {
        {"-addr", "0x10", 0x10, ""},
        {"-addr", "0X1C", 28, ""},
        {"-addr", "28", 28, ""},
        {"-addr", "010", 10, ""},  // a leading zero is not octal
        {"-addr", "12abc", 12, ""},
        {"-addr", "1f", 1, ""},
        {"-len", "4", 4, ""},
        {"-len", "0x8000", 0x8000, ""},
        {"-addr", "0x8000", 0x8000, "You entered  -addr 0x8000. Value must be less than 32764 (0x7ffc)\n"},
        {"-len", "0", 0, "You entered  -len 0. Value must be greater than 4 (0x4)\n"},
        {"-len", "-4", 0xFFFFFFFC, "You entered  -len -4. Value must be less than 32768 (0x8000)\n"},
        // Beyond 32 bits: never wraps into an accepted value.
        {"-len", "4294967300", 0xFFFFFFFF, "You entered  -len 4294967300. Value must be less than 32768 (0x8000)\n"},
        {"-addr", "0x100000004", 0xFFFFFFFF, "You entered  -addr 0x100000004. Value must be less than 32764 (0x7ffc)\n"},
        {"-addr", "-2147483652", 0xFFFFFFFF, "You entered  -addr -2147483652. Value must be less than 32764 (0x7ffc)\n"},
    };
    for (const number_case& c : cases) {
        const bool is_len = std::strcmp(c.word, "-len") == 0;
        std::string warning;
        const uint32_t v = number_argument(c.word, c.text, is_len ? 4 : 0, is_len ? 0x8000 : 0x7FFC, &warning);
        EXPECT_EQ(v, c.value) << c.text;
        EXPECT_EQ(warning, c.warning) << c.text;
    }
}

TEST(number_argument, text_that_is_no_number_is_a_usage_error) {
    for (const char* text : {"abc", "", "-", "x10"}) {
        std::string warning;
        outcome o = run_catching([&] { number_argument("-len", text, 4, 0x8000, &warning); });
        EXPECT_EQ(o.status, 255) << text;
        EXPECT_EQ(o.out, std::string("Argument to -len must be a hex or decimal number.  ") + text + " not allowed\n");
    }
}

TEST(parse_adapter_address, takes_three_or_four_hex_numbers) {
    struct address_case {
        const char* text;
        adapter_address want;
    };
    const address_case good[] = {
        {"04:00.0", {false, 0, 4, 0, 0}},
        {"0a:1f.7", {false, 0, 0x0a, 0x1f, 7}},
        {"104:00.0", {false, 0, 0x104, 0, 0}},  // not range-checked here
        {"04:00.1 trailing", {false, 0, 4, 0, 1}},
        {"04:00.0xyz", {false, 0, 4, 0, 0}},
        {"0000:04:00.0", {true, 0, 4, 0, 0}},
        {"abcd:ff:1f.7", {true, 0xabcd, 0xff, 0x1f, 7}},
    };
    for (const address_case& c : good) {
        adapter_address a = {};
        ASSERT_TRUE(parse_adapter_address(c.text, &a)) << c.text;
        EXPECT_EQ(a.has_domain, c.want.has_domain) << c.text;
        EXPECT_EQ(a.domain, c.want.domain) << c.text;
        EXPECT_EQ(a.bus, c.want.bus) << c.text;
        EXPECT_EQ(a.slot, c.want.slot) << c.text;
        EXPECT_EQ(a.function, c.want.function) << c.text;
    }
    for (const char* bad : {"", "04", "04:00", "04.00.0", "04-00.0", "xyz", "04:00.", "0000:04:00", ":04:00.0", "1:2:3:4"}) {
        adapter_address a = {};
        EXPECT_FALSE(parse_adapter_address(bad, &a)) << bad;
    }
}

TEST(get_binfile_type_and_name, type_word_to_the_first_separator_then_the_name_verbatim) {
    struct image_case {
        const char* arg;
        image_type type;
        const char* name;  // nullptr: the name is left as it was
    };
    const image_case cases[] = {
        {"-fvpd:./a.bin", image_type::vpd, "./a.bin"},
        {"-finit:x.bin", image_type::init, "x.bin"},
        {"-fvpd x.bin", image_type::vpd, "x.bin"},
        // '-', ':' and blanks inside the name are kept.
        {"-finit:fw/init-v2.bin", image_type::init, "fw/init-v2.bin"},
        {"-f:/tmp/my-images/board-2024.bin", image_type::full, "/tmp/my-images/board-2024.bin"},
        {"-f:a:b c-d", image_type::full, "a:b c-d"},
        {"-fvpd-my file-", image_type::vpd, "my file-"},
        // Several separators after the type word: all of them go.
        {"-f::a  b", image_type::full, "a  b"},
        {"-finit: -:-x", image_type::init, "x"},
        // Separators only: no name.
        {"-fvpd", image_type::vpd, nullptr},
        {"-f:- ", image_type::full, nullptr},
    };
    for (const image_case& c : cases) {
        image_type type = image_type::vpd;
        std::string name = "earlier.bin";
        EXPECT_EQ(get_binfile_type_and_name(c.arg, &type, &name), c.name != nullptr) << c.arg;
        EXPECT_TRUE(type == c.type) << c.arg;
        EXPECT_EQ(name, c.name ? c.name : "earlier.bin") << c.arg;
    }
    for (const char* bad : {"-fx:./a.bin", "-fvpdx:a.bin", "-ffvpd:a.bin"}) {
        image_type type = image_type::vpd;
        std::string name;
        outcome o = run_catching([&] { get_binfile_type_and_name(bad, &type, &name); });
        EXPECT_EQ(o.status, 255) << bad;
        EXPECT_EQ(o.out, expected_usage() + "ERROR: Unknown binary file type\n") << bad;
    }
}

// Command lines and files that are refused before the adapter lookup:
// the simulator sees no register access at all.
using refused_input = sim_test;

// Runs in a scratch directory, where the cases' file names are relative.
struct in_directory {
    explicit in_directory(const std::string& dir) : saved(getcwd(nullptr, 0)) { EXPECT_EQ(chdir(dir.c_str()), 0); }
    ~in_directory() {
        EXPECT_EQ(chdir(saved), 0);
        std::free(saved);
    }
    char* saved;
};

TEST_F(refused_input, never_reaches_a_register) {
    temp_dir dir;
    in_directory here(dir.path());
    write_file(dir.file("small.bin"), std::vector<uint8_t>(100));
    write_file(dir.file("vpd.bin"), std::vector<uint8_t>(VPD_AREA_SIZE));
    write_text(dir.file("bad.txt"), "PT123\nxyz\n");
    const std::string missing = "missing.bin";
    struct refused_case {
        std::vector<std::string> words;
        int status;
        bool usage;
        std::string message;
    };
    const refused_case cases[] = {
        {{"-b", "04-00.0"}, 255, true, "Unable to parse -b arg: 04-00.0\n"},
        {{"-b", "04:00.0", "-addr", "2", "-len", "4"}, 1, false, "Error: -addr 0x2 must be multiple of 4\n"},
        {{"-b", "04:00.0", "-addr", "0x7ffc"}, 1, false, "Error: -addr 0x7ffc + -len 0x8000 must be <= 0x8000\n"},
        {{"-b", "04:00.0", "-len", "4294967300"}, 1, false,
         "You entered  -len 4294967300. Value must be less than 32768 (0x8000)\n"
         "Error: -addr 0x0 + -len 0xffffffff must be <= 0x8000\n"},
        {{"-b", "04:00.0", "write", "-f:small.bin"}, 1, false,
         "Error:  Size of binary file differs from the size of VPD+Init area, expecting a file of size 32768 bytes\n"},
        {{"-b", "04:00.0", "write", "-fvpd:" + missing}, 255, false, "Unable to open file:" + missing + "\n"},
        {{"-b", "04:00.0", "read", "-x"}, 1, false, "ERROR: Invalid filename specified\n"},
        {{"-b", "04:00.0", "-addr", "0x7C04", "-len", "4", "clearinit"}, 1, false,
         "Error: Init region at 0x7c04 + 0x400 must end at or below 0x8000\n"},
        {{"-b", "04:00.0", "-addr", "4", "-len", "4", "write", "-fvpd:vpd.bin"}, 1, false,
         "Error: VPD image at 0x404 + 0x7c00 must end at or below 0x8000\n"},
        {{"-b", "04:00.0", "bdinfo", "bad.txt"}, 1, false,
         "ERR: Invalid Board details:xyz\nERR: Error reading board info file\n"},
        {{"bdinfo", missing, "-b", "04:00.0"}, 255, false, "unable to locate boardinfo file:" + missing + "\n"},
        {{"-b", "04:00.0", "write", "-fvpd"}, 255, false,
         "ERROR: 'write' names no image file: give -f:<file>, -fvpd:<file> or -finit:<file>\n"},
        {{"-b", "04:00.0", "bdinfo", "."}, 255, false, "unable to locate boardinfo file:.\n"},
        // A misspelt command is no dump.
        {{"-b", "04:00.0", "wirte", "-f:new.bin"}, 255, false,
         "ERROR: unknown words 'wirte', '-f:new.bin' and no command word: nothing was done (man 8 romwright "
         "lists the commands)\n"},
        // Options a command does not know or take are refused, never skipped.
        {{"-b", "04:00.0", "clearvpd", "--plna"}, 255, false,
         "ERROR: unknown option '--plna': nothing was done (romwright --help lists the options)\n"},
        {{"-b", "04:00.0", "-plna", "write", "-f:vpd.bin", "-x"}, 255, false,
         "ERROR: unknown options '-plna', '-x': nothing was done (romwright --help lists the options)\n"},
        {{"-b", "04:00.0", "dump", "-force-image", "-approved", missing, "-force-identity"}, 255, false,
         "ERROR: -force-image goes with write, not with dump\n"},
        {{"-b", "04:00.0", "vpd", "--plan"}, 255, false,
         "ERROR: --plan goes with write, restore, clearinit, clearvpd or repair, not with vpd\n"},
        {{"-b", "04:00.0", "clearvpd", "-addr", "0"}, 255, false,
         "ERROR: -addr goes with dump, read, write, verify or clearinit, not with clearvpd\n"},
        {{"-b", "04:00.0", "-len", "4", "vpd"}, 255, false,
         "ERROR: -len goes with dump, read, write, verify or clearinit, not with vpd\n"},
        {{"-b", "04:00.0", "-changed"}, 255, false, "ERROR: -changed goes with write or restore, not with dump\n"},
        {{"list", "-b", "04:00.0"}, 255, false,
         "ERROR: -b goes with dump, read, write, verify, restore, clearinit, clearvpd, vpd, repair or history, not "
         "with list\n"},
        {{"-b", "04:00.0", "-len", "16", "dmup"}, 255, false,
         "ERROR: unknown word 'dmup' and no command word: nothing was done (man 8 romwright lists the "
         "commands)\n"},
    };
    for (const refused_case& c : cases) {
        std::string joined;
        for (const std::string& w : c.words)
            joined += w + " ";
        SCOPED_TRACE(joined);
        trace().clear();
        std::string out;
        EXPECT_EQ(run_main(c.words, &out), c.status);
        EXPECT_EQ(out, (c.usage ? expected_usage() : std::string()) + c.message);
        EXPECT_TRUE(trace().empty()) << trace().size() << " register accesses";
    }
}

}  // namespace
