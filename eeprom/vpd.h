// The PCI VPD decoder: walks one VPD copy (identifier-string item, VPD-R
// and VPD-W items with their keyword fields, end tag) inside the copy's own
// bytes and says what it found.  Everything that walks VPD uses it: the
// identity transfer of write, the vpd command and romwright-vpd.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// PCI VPD resource tags.
constexpr uint8_t VPD_TAG_ID_STRING = 0x82;
constexpr uint8_t VPD_TAG_VPD_R = 0x90;
constexpr uint8_t VPD_TAG_VPD_W = 0x91;
constexpr uint8_t VPD_TAG_END = 0x78;

enum class vpd_checksum_state {
    good,     // the copy's bytes from its start through the RV checksum byte sum to 0
    bad,      // they do not
    missing,  // no RV field with its checksum byte inside the copy's VPD-R item
};

struct vpd_keyword {
    char name[3];     // two characters and a terminating zero
    uint32_t offset;  // of the keyword's first data byte in the copy
    uint32_t length;  // data bytes
    bool read_only;   // in the VPD-R item (else VPD-W)
};

// What the decoder finds wrong with a copy; the facts each kind sets are
// named beside it.
enum class vpd_fault {
    blank,                // every byte is 0xFF
    empty,                // the copy has no bytes
    no_id_tag,            // value: the byte the copy begins with
    id_string_past,       // length: the identifier string's, running past the copy
    item_header_past,     // offset
    item_past,            // value: the item's tag, offset, length
    keyword_header_past,  // read_only (VPD-R, else VPD-W), offset, past_copy
    keyword_past,         // read_only, keyword, offset, past_copy
    rv_without_checksum,  // offset: an RV field with no checksum byte
    no_end_tag,
    no_rv_field,          // the VPD-R item has no RV field
    no_vpd_r,
    keyword_repeated,     // keyword, value: times held, offset and second: of the first two
};

struct vpd_problem {
    vpd_fault fault;
    uint32_t offset = 0;
    uint32_t second = 0;
    uint32_t value = 0;
    uint32_t length = 0;
    std::string keyword;     // escaped (vpd_escape)
    bool read_only = false;
    bool past_copy = false;  // what ends the keywords: the copy, not their item
};

struct vpd_copy_info {
    bool blank = false;          // every byte is 0xFF
    bool has_id_string = false;  // begins with a whole identifier-string item
    uint32_t id_offset = 0;      // of the ID string's first byte
    uint32_t id_length = 0;
    std::vector<vpd_keyword> keywords;  // every one, in copy order
    int rv_offset = -1;          // offset of the first "RV" keyword's 'R', or -1
    vpd_checksum_state checksum = vpd_checksum_state::missing;
    bool end_tag = false;        // the walk reached the end tag
    uint32_t end_tag_offset = 0; // where it stands: the record ends with it
    std::vector<vpd_problem> problems;  // structural problems in walk order, then each
                                        // keyword held more than once

    // The first keyword of that name, or nullptr.
    const vpd_keyword* find(const char* name) const;
    // True when the copy is whole: ID string, good checksum, end tag, no problem.
    bool good() const { return problems.empty() && checksum == vpd_checksum_state::good; }
};

// Decodes the copy at bytes[0, size); never reads outside it.  An item whose
// length runs past the copy is a problem, but the keywords it holds inside
// the copy are read, and its RV checksum judged when the checksum byte lies
// inside the copy.
vpd_copy_info decode_vpd_copy(const uint8_t* bytes, uint32_t size);

// Bytes shown as text: printable ASCII as it is, a backslash as "\\", every
// other byte as "\xNN".
std::string vpd_escape(const uint8_t* bytes, uint32_t length);
const char* vpd_checksum_name(vpd_checksum_state s);  // "good", "bad", "missing"
