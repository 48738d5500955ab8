// Bulk EEPROM transfer: ranges moved one 32-bit word at a time through the
// adapter's word port.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

class adapter_session;

// The buffer holds exactly `length` EEPROM bytes from `address` (a multiple
// of 4) in address order; nothing beyond it is read or written.
void read_seeprom(adapter_session& s, uint8_t* buf, uint32_t address, uint32_t length);

// How a transfer of planned words counts its progress and checks its time.
struct word_transfer {
    const uint8_t* eeprom_before;     // the whole EEPROM as read before the change
    const uint8_t* eeprom_after;      // the whole EEPROM as it is to be: each word's value
    const std::vector<uint32_t>* words;  // the addresses to write, ascending
    uint32_t first;                   // the range the command covers, for progress by offset
    uint32_t length;
    bool count_words;                 // progress and run-time check count the words written (-changed,
                                      // repair), not the range's bytes
    bool show_progress;               // erases show none
};

// The outcome of a transfer: how many words it wrote and whether the EEPROM
// changed (a word that did not take leaves it as it was).
struct transfer_outcome {
    uint32_t words_written = 0;
    bool changed = false;
    // A transfer that stopped at a word: its address, and what it read back
    // when it was read back (none: its write or its read-back went
    // unanswered, so what it holds is not known).
    std::optional<uint32_t> stopped_at;
    std::optional<uint32_t> stopped_word;
};

// Writes the planned words, each read back once its write cycle has ended.
// A word that reads back different throws failure (readback_mismatch) after
// out has been brought up to date; so does every other failure.  Progress
// lines go to the session's observer every two seconds.  Returns false when
// a run of more than 32000 bytes took 4 seconds or less (the write cycles
// cannot have happened).
bool write_words(adapter_session& s, const word_transfer& t, transfer_outcome& out);

// Compares [address, address + length) with buf; every word that differs is
// told to the observer and returned as {address, file word, EEPROM word}.
struct word_mismatch {
    uint32_t address, file, eeprom;
};
std::vector<word_mismatch> verify_seeprom(adapter_session& s, const uint8_t* buf, uint32_t address, uint32_t length);
