// romwright-sim's own command line: values read exactly, the first problem
// in command-line order reported, romwright's words passed on untouched.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/error.h"
#include "sim/sim_options.h"

namespace {

sim_command_line parse(std::vector<std::string> words) {
    words.insert(words.begin(), "romwright-sim");
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    return parse_sim_command_line(static_cast<int>(words.size()), argv.data());
}

// The failure's message, or "" when the words were taken.
std::string refusal(const std::vector<std::string>& words) {
    try {
        parse(words);
    } catch (const failure& f) {
        EXPECT_EQ(f.status(), 2);
        return f.what();
    }
    return "";
}

TEST(sim_options, the_first_problem_in_order_is_reported) {
    const std::string unknown_bogus =
        "romwright-sim: unknown option '--bogus' (romwright's own words go after --; see romwright-sim --help)\n";
    const std::string bad_stall = "romwright-sim: --stall forever: expected vpd or status\n";
    const struct {
        std::vector<std::string> words;
        std::string message;
    } cases[] = {
        {{"--bogus", "--stall", "forever"}, unknown_bogus},
        {{"--stall", "forever", "--bogus"}, bad_stall},
        {{"--bogus", "--eeprom"}, unknown_bogus},
        {{"--stall", "forever", "--help"}, bad_stall},
        {{"--stall", "vpd", "--eeprom"}, "romwright-sim: --eeprom needs an argument\n"},
        {{"dump", "--stall", "forever"},
         "romwright-sim: unknown option 'dump' (romwright's own words go after --; see romwright-sim --help)\n"},
        // An option is a word of its own; its value is never attached.
        {{"--eeprom=e.bin", "--stall", "forever"},
         "romwright-sim: unknown option '--eeprom=e.bin' (romwright's own words go after --; see romwright-sim "
         "--help)\n"},
        {{"--stats=false"},
         "romwright-sim: unknown option '--stats=false' (romwright's own words go after --; see romwright-sim "
         "--help)\n"},
        {{"-hx"}, "romwright-sim: unknown option '-hx' (romwright's own words go after --; see romwright-sim --help)\n"},
        {{"--eeprom", ""}, "romwright-sim: --eeprom needs a file name (without --eeprom the EEPROM is kept in memory)\n"},
        {{"--device", "04:00.0", "--device", "0:4:0.0=own.bin"},
         "romwright-sim: --device 0:4:0.0=own.bin: PCI function 0000:04:00.0 is already on the simulated host (each "
         "--device adds another function)\n"},
        {{"--device", "0:0:04:00.0"},
         "romwright-sim: --device 0:0:04:00.0: expected [DDDD:]BB:SS.F[=FILE], the address in hexadecimal\n"},
        {{"--device", "04:00.0="}, "romwright-sim: --device 04:00.0=: expected a file name after '='\n"},
        {{"--write-cycle-ms", "600000.001"},
         "romwright-sim: --write-cycle-ms 600000.001: expected milliseconds, 0 to 600000, with up to three "
         "decimals\n"},
        {{"--write-cycle-ms", "0.0005"},
         "romwright-sim: --write-cycle-ms 0.0005: expected milliseconds, 0 to 600000, with up to three decimals\n"},
        {{"--vpd-us", "1000001"}, "romwright-sim: --vpd-us 1000001: expected microseconds, 0 to 1000000\n"},
        {{"--power-loss", "0"}, "romwright-sim: --power-loss 0: expected a word count from 1\n"},
        {{"--raise", "USR1:0"},
         "romwright-sim: --raise USR1:0: expected SIG:N, SIG one of HUP, INT, QUIT, TERM, USR1, USR2, ALRM, VTALRM, "
         "PROF, XCPU, XFSZ, IO, PWR, STKFLT and N a word count from 1\n"},
        {{"--driver", "-x"},
         "romwright-sim: --driver -x: expected a driver name of letters, digits, '_', '-' and '.', beginning with a "
         "letter or digit\n"},
        {{"--lockdown", "full"}, "romwright-sim: --lockdown full: expected none, integrity or confidentiality\n"},
        {{"--serve", "s.sock", "--", "list"},
         "romwright-sim: --serve takes no romwright words: the program runs in the client's machine\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words.front());
        EXPECT_EQ(refusal(c.words), c.message);
    }
}

TEST(sim_options, help_is_an_answer_in_its_place) {
    EXPECT_TRUE(parse({"--blank", "-h", "--bogus"}).help);
    EXPECT_TRUE(parse({"--help", "--stall", "forever"}).help);
    EXPECT_NE(refusal({"--bogus", "--help"}), "");
    // --version likewise, its answer the version.
    EXPECT_EQ(parse({"--blank", "--version", "--bogus"}).help_text, "romwright-sim " ROMWRIGHT_VERSION "\n");
    EXPECT_NE(refusal({"--bogus", "--version"}), "");
    // After "--", and as a value, it is no answer of the simulator's.
    EXPECT_FALSE(parse({"--", "--help"}).help);
    EXPECT_FALSE(parse({"--trace", "--help"}).help);
}

TEST(sim_options, values_are_read_exactly_and_words_passed_on) {
    const sim_command_line line =
        parse({"--write-cycle-ms", "0.5",       "--vpd-us", "100", "--stall", "status", "--raise", "TERM:7",
               "--device", "1:04:00.7=own.bin", "--device", "4:1f.0", "--trace", "--", "--eeprom", "a.bin",
               "--eeprom", "b.bin", "--", "-b", "04:00.0", "--", "--help"});
    const sim_config& c = line.config;
    EXPECT_EQ(c.write_cycle_us, 500u);
    EXPECT_EQ(c.vpd_us, 100u);
    EXPECT_TRUE(c.stall_status);
    EXPECT_FALSE(c.stall_vpd);
    EXPECT_EQ(c.raise_signal, SIGTERM);
    EXPECT_EQ(c.raise_after, 7u);
    ASSERT_EQ(c.devices.size(), 2u);
    EXPECT_EQ(c.devices[0].domain, 1u);
    EXPECT_EQ(c.devices[0].bus, 4);
    EXPECT_EQ(c.devices[0].func, 7);
    EXPECT_EQ(c.devices[1].dev, 0x1f);
    EXPECT_EQ(c.device_files, (std::vector<std::string>{"own.bin", ""}));
    EXPECT_EQ(c.trace_path, "--");  // the next word, whatever it holds
    EXPECT_EQ(c.eeprom_path, "b.bin");  // the last one given
    EXPECT_EQ(line.words, (std::vector<std::string>{"-b", "04:00.0", "--", "--help"}));
    EXPECT_EQ(parse({"--write-cycle-ms", "600000"}).config.write_cycle_us, 600000000u);
    EXPECT_TRUE(parse({}).words.empty());
}

}  // namespace
