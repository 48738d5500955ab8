// The PCI VPD decoder.
#include "eeprom/vpd.h"

#include <cstring>

#include "common/error.h"

namespace {

uint32_t le16(const uint8_t* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8; }

// Walks the keyword fields of one VPD-R or VPD-W item whose data lies in
// bytes[data, end), end inside the copy.
void walk_keywords(const uint8_t* bytes, uint32_t data, uint32_t end, bool read_only, vpd_copy_info& info) {
    const char* item = read_only ? "VPD-R" : "VPD-W";
    uint32_t k = data;
    while (k < end) {
        if (k + 3 > end) {
            info.problems.push_back(strprintf("%s item: a keyword header at offset %u runs past the item", item, k));
            return;
        }
        vpd_keyword kw = {{static_cast<char>(bytes[k]), static_cast<char>(bytes[k + 1]), '\0'}, k + 3, bytes[k + 2],
                          read_only};
        if (kw.offset + kw.length > end) {
            info.problems.push_back(strprintf("%s item: keyword %s at offset %u runs past the item", item,
                                              vpd_escape(bytes + k, 2).c_str(), k));
            return;
        }
        info.keywords.push_back(kw);
        if (read_only && info.rv_offset < 0 && std::memcmp(kw.name, "RV", 2) == 0) {
            if (kw.length == 0) {
                info.problems.push_back(strprintf("RV field at offset %u has no checksum byte", k));
            } else {
                info.rv_offset = static_cast<int>(k);
                uint8_t sum = 0;
                for (uint32_t i = 0; i <= kw.offset; ++i)
                    sum = static_cast<uint8_t>(sum + bytes[i]);
                info.checksum = sum == 0 ? vpd_checksum_state::good : vpd_checksum_state::bad;
            }
        }
        k = kw.offset + kw.length;
    }
}

}  // namespace

const vpd_keyword* vpd_copy_info::find(const char* name) const {
    for (const vpd_keyword& k : keywords)
        if (k.name[0] == name[0] && k.name[1] == name[1])
            return &k;
    return nullptr;
}

vpd_copy_info decode_vpd_copy(const uint8_t* bytes, uint32_t size) {
    vpd_copy_info info;
    info.blank = true;
    for (uint32_t i = 0; i < size && info.blank; ++i)
        info.blank = bytes[i] == 0xFF;
    if (info.blank) {
        info.problems.push_back("blank: every byte is 0xFF");
        return info;
    }
    if (size < 3 || bytes[0] != VPD_TAG_ID_STRING) {
        info.problems.push_back(size ? strprintf("does not begin with the identifier-string tag 0x82 (begins with 0x%02x)",
                                                 bytes[0])
                                     : std::string("empty"));
        return info;
    }
    info.id_offset = 3;
    info.id_length = le16(bytes + 1);
    uint32_t pos = info.id_offset + info.id_length;
    if (pos > size) {
        info.problems.push_back(strprintf("the identifier string (%u bytes) runs past the copy", info.id_length));
        return info;
    }
    info.has_id_string = true;

    bool seen_r = false, stopped = false;
    while (pos < size) {
        const uint8_t tag = bytes[pos];
        if (tag == VPD_TAG_END) {
            info.end_tag = true;
            break;
        }
        if ((tag & 0x80) == 0) {  // another small resource item: passed over
            pos += 1 + (tag & 7u);
            continue;
        }
        if (pos + 3 > size) {
            info.problems.push_back(strprintf("an item header at offset %u runs past the copy", pos));
            stopped = true;
            break;
        }
        const uint32_t data = pos + 3;
        const uint32_t end = data + le16(bytes + pos + 1);
        if (end > size) {
            info.problems.push_back(strprintf("the item with tag 0x%02x at offset %u (%u bytes) runs past the copy",
                                              tag, pos, end - data));
            stopped = true;
            break;
        }
        if (tag == VPD_TAG_VPD_R || tag == VPD_TAG_VPD_W) {
            if (tag == VPD_TAG_VPD_R)
                seen_r = true;
            walk_keywords(bytes, data, end, tag == VPD_TAG_VPD_R, info);
        }
        pos = end;
    }
    if (stopped)
        return info;
    if (!info.end_tag)
        info.problems.push_back("no end tag inside the copy");
    bool rv_reported = false;
    for (const std::string& p : info.problems)
        rv_reported = rv_reported || p.compare(0, 8, "RV field") == 0;
    if (info.rv_offset < 0 && !rv_reported)
        info.problems.push_back(seen_r ? "the VPD-R item has no RV checksum field" : "no VPD-R item");
    return info;
}

std::string vpd_escape(const uint8_t* bytes, uint32_t length) {
    std::string out;
    out.reserve(length);
    for (uint32_t i = 0; i < length; ++i) {
        const uint8_t b = bytes[i];
        if (b == '\\')
            out += "\\\\";
        else if (b >= 0x20 && b < 0x7F)
            out += static_cast<char>(b);
        else
            out += strprintf("\\x%02x", b);
    }
    return out;
}

const char* vpd_checksum_name(vpd_checksum_state s) {
    switch (s) {
    case vpd_checksum_state::good:
        return "good";
    case vpd_checksum_state::bad:
        return "bad";
    case vpd_checksum_state::missing:
        break;
    }
    return "missing";
}
