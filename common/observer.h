// What a command reports while it runs, in the order it happens.  The
// layers below main never print: they tell an observer, and main supplies
// the one that renders (the commands' text on standard output and notes on
// standard error, or under -json only the notes).
#pragma once

#include <cstdint>
#include <string>

#include "common/error.h"

// A note from below the front end that is not a command's result, as data:
// the front end words it on standard error.  The facts each kind carries
// are named beside it.
enum class notice_kind {
    backup_kept,          // path: the EEPROM holds what that backup holds
    backup_saved,         // path
    journal_cleared,      // command, time (0: unknown), backup ("" none): nothing of it took
    change_interrupted,   // address, command, time, backup, backup_present (0 or 1)
    journal_not_removed,  // path, errno
    image_not_plain,      // path: not a plain file or a pipe
    image_waiting,        // path: locked by another run
    image_left_as_is,     // path: no write permission bits
    driver_port_reset,    // driver, address: the chip reset resets the driver's port
};

struct notice {
    notice_kind kind;
    fact_list facts;
};

class observer {
public:
    virtual ~observer() = default;

    // The identity a command takes from the board (raw field bytes).
    virtual void identity_used(const std::string& /*part*/, const std::string& /*serial*/, const std::string& /*mac*/) {}
    // read: `bytes` bytes of the EEPROM from `start` were read.
    virtual void eeprom_read(uint32_t /*bytes*/, uint32_t /*start*/) {}
    // An image of `bytes` bytes was taken from path for the transfer.
    virtual void image_read(uint32_t /*bytes*/, const std::string& /*path*/) {}
    // After every word of a transfer: done of total words (a progress bar).
    virtual void words_done(uint32_t /*done*/, uint32_t /*total*/) {}
    // Every two seconds of a long transfer.
    virtual void progress(uint32_t /*done*/, uint32_t /*total*/) {}
    // verify: a word that differs (only the compared bytes).
    virtual void mismatch(uint32_t /*address*/, uint32_t /*file*/, uint32_t /*eeprom*/) {}
    // The chip reset that ends every held transfer: before and after it.
    virtual void chip_reset(bool /*done*/) {}
    // A flash ended well; with -changed also how many words differed.
    virtual void flashed(uint32_t /*start*/, bool /*changed_only*/, uint32_t /*words*/) {}
    // verify's verdict; region "" or "(init)".
    virtual void verified(bool /*passed*/, const std::string& /*region*/, uint32_t /*start*/) {}
    // An erase of one region ("Init region", "VPD region 3") begins / ended.
    virtual void erase_started(const std::string& /*region*/, uint32_t /*start*/) {}
    virtual void erase_done(uint32_t /*bytes*/) {}
    // repair: a copy rewritten from another.
    virtual void copy_repaired(int /*index*/, uint32_t /*address*/, const std::string& /*state*/, int /*from_index*/, uint32_t /*from_address*/) {}
    // A failure, shown where it happened (before the chip reset).
    virtual void failure_shown(const failure& /*f*/) {}
    // More of the command's text output, after the run (a report, a dump).
    virtual void text(const std::string& /*t*/) {}
    // A note that is not the command's result (standard error): the front
    // end's own text, or a notice from below it.
    virtual void note(const std::string& /*text*/) {}
    virtual void notify(const notice& /*n*/) {}
};
