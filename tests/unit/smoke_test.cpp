#include "support/support.h"
#include "eeprom/eeprom.h"
#include "adapter/adapter.h"

using smoke = sim_test;

TEST_F(smoke, reads_the_sample_boards_first_word) {
    EXPECT_EQ(se_read(0x0000), 0x532d5752u);  // "RW-S"
}
