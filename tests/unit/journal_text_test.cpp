// What a journal says on a terminal: times, escaped text and the restore
// command quoted for a POSIX shell.
#include "common/escaping.h"
#include "eeprom/journal.h"
#include "unit_support.h"

namespace {

TEST(journal_text, paths_are_quoted_for_a_shell_and_safe_for_a_terminal) {
    const std::pair<const char*, const char*> cases[] = {
        {"/var/b.bin", "'/var/b.bin'"},
        {"it's $(x) `y`.bin", "'it'\\''s $(x) `y`.bin'"},
        {"a\nb\x1b[2J.bin", "'a\\x0Ab\\x1B[2J.bin'"},
        {"b\xc3\xa4" "ck.bin", "'b\xc3\xa4" "ck.bin'"},   // UTF-8 as it is
        {"\xc2\x9b" "2J\xff.bin", "'\\xC2\\x9B2J\\xFF.bin'"},  // a C1 control and a stray byte escaped
    };
    for (const auto& [path, quoted] : cases)
        EXPECT_EQ(shell_quoted(path), quoted) << path;
    EXPECT_EQ(terminal_text("a\\b\x07"), "a\\\\b\\x07");
}

TEST(journal_text, a_time_that_cannot_be_shown_is_unknown) {
    journal_record r;
    r.command = "clearinit";
    r.backup = "/nonexistent/b.bin";
    for (const int64_t t : {int64_t{0}, INT64_MAX}) {
        r.time = t;
        const std::string note = interrupted_note(r, "0000:04:00.0");
        EXPECT_NE(note.find("`clearinit`, begun at an unknown time, did not finish"), std::string::npos) << note;
    }
    r.time = 1800000000;
    EXPECT_NE(interrupted_note(r, "0000:04:00.0").find("begun 2027-01-15T08:00:00Z,"), std::string::npos);
}

}  // namespace
