// The PCI VPD decoder.
#include "eeprom/vpd.h"

#include <algorithm>
#include <cstring>

#include "common/error.h"

namespace {

uint32_t le16(const uint8_t* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8; }

// A problem of that kind, its facts yet to be set.
vpd_problem problem_of(vpd_fault fault) {
    vpd_problem p;
    p.fault = fault;
    return p;
}

// The checksum verdict of a copy whose RV field has its checksum byte at
// `at`: the bytes from the copy's start through it sum to 0 or not.
vpd_checksum_state checksum_through(const uint8_t* bytes, uint32_t at) {
    uint8_t sum = 0;
    for (uint32_t i = 0; i <= at; ++i)
        sum = static_cast<uint8_t>(sum + bytes[i]);
    return sum == 0 ? vpd_checksum_state::good : vpd_checksum_state::bad;
}

// Walks the keyword fields of one VPD-R or VPD-W item whose data lies in
// bytes[data, end), end inside the copy; past_copy: end is the copy's (an
// item whose length runs past the copy), not the item's.
void walk_keywords(const uint8_t* bytes, uint32_t data, uint32_t end, bool read_only, bool past_copy,
                   vpd_copy_info& info) {
    const auto problem = [&](vpd_fault fault, uint32_t at) {
        vpd_problem p = problem_of(fault);
        p.offset = at;
        p.read_only = read_only;
        p.past_copy = past_copy;
        return p;
    };
    uint32_t k = data;
    while (k < end) {
        if (k + 3 > end) {
            info.problems.push_back(problem(vpd_fault::keyword_header_past, k));
            return;
        }
        vpd_keyword kw = {{static_cast<char>(bytes[k]), static_cast<char>(bytes[k + 1]), '\0'}, k + 3, bytes[k + 2],
                          read_only};
        const bool rv = read_only && info.rv_offset < 0 && std::memcmp(kw.name, "RV", 2) == 0;
        if (kw.offset + kw.length > end) {
            // A checksum byte inside the bounds still gets its verdict.
            if (rv && kw.length > 0 && kw.offset < end) {
                info.rv_offset = static_cast<int>(k);
                info.checksum = checksum_through(bytes, kw.offset);
            }
            vpd_problem p = problem(vpd_fault::keyword_past, k);
            p.keyword = vpd_escape(bytes + k, 2);
            info.problems.push_back(p);
            return;
        }
        info.keywords.push_back(kw);
        if (rv) {
            if (kw.length == 0) {
                info.problems.push_back(problem(vpd_fault::rv_without_checksum, k));
            } else {
                info.rv_offset = static_cast<int>(k);
                info.checksum = checksum_through(bytes, kw.offset);
            }
        }
        k = kw.offset + kw.length;
    }
}

// A keyword the copy holds more than once is a problem, one per name.
void find_repeated_keywords(vpd_copy_info& info) {
    const std::vector<vpd_keyword>& ks = info.keywords;
    for (size_t i = 0; i < ks.size(); ++i) {
        const auto same = [&](const vpd_keyword& k) { return std::memcmp(k.name, ks[i].name, 2) == 0; };
        if (std::any_of(ks.begin(), ks.begin() + static_cast<long>(i), same))
            continue;  // told at its first
        const auto n = std::count_if(ks.begin() + static_cast<long>(i), ks.end(), same);
        if (n < 2)
            continue;
        const vpd_keyword& second = *std::find_if(ks.begin() + static_cast<long>(i) + 1, ks.end(), same);
        vpd_problem p = problem_of(vpd_fault::keyword_repeated);
        p.keyword = vpd_escape(reinterpret_cast<const uint8_t*>(ks[i].name), 2);
        p.value = static_cast<uint32_t>(n);
        p.offset = ks[i].offset - 3;
        p.second = second.offset - 3;
        info.problems.push_back(p);
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
        info.problems.push_back(problem_of(vpd_fault::blank));
        return info;
    }
    if (size < 3 || bytes[0] != VPD_TAG_ID_STRING) {
        vpd_problem p = problem_of(size ? vpd_fault::no_id_tag : vpd_fault::empty);
        p.value = size ? bytes[0] : 0;
        info.problems.push_back(p);
        return info;
    }
    info.id_offset = 3;
    info.id_length = le16(bytes + 1);
    uint32_t pos = info.id_offset + info.id_length;
    if (pos > size) {
        vpd_problem p = problem_of(vpd_fault::id_string_past);
        p.length = info.id_length;
        info.problems.push_back(p);
        return info;
    }
    info.has_id_string = true;

    bool seen_r = false, stopped = false;
    while (pos < size) {
        const uint8_t tag = bytes[pos];
        if (tag == VPD_TAG_END) {
            info.end_tag = true;
            info.end_tag_offset = pos;
            break;
        }
        if ((tag & 0x80) == 0) {  // another small resource item: passed over
            pos += 1 + (tag & 7u);
            continue;
        }
        if (pos + 3 > size) {
            vpd_problem p = problem_of(vpd_fault::item_header_past);
            p.offset = pos;
            info.problems.push_back(p);
            stopped = true;
            break;
        }
        const uint32_t data = pos + 3;
        const uint32_t end = data + le16(bytes + pos + 1);
        const bool keywords = tag == VPD_TAG_VPD_R || tag == VPD_TAG_VPD_W;
        seen_r = seen_r || tag == VPD_TAG_VPD_R;
        if (end > size) {
            vpd_problem p = problem_of(vpd_fault::item_past);
            p.value = tag;
            p.offset = pos;
            p.length = end - data;
            info.problems.push_back(p);
            // What it holds inside the copy is still read: the keywords,
            // and the checksum when its RV field lies inside.
            if (keywords)
                walk_keywords(bytes, data, size, tag == VPD_TAG_VPD_R, true, info);
            stopped = true;
            break;
        }
        if (keywords)
            walk_keywords(bytes, data, end, tag == VPD_TAG_VPD_R, false, info);
        pos = end;
    }
    if (stopped) {
        find_repeated_keywords(info);
        return info;
    }
    if (!info.end_tag)
        info.problems.push_back(problem_of(vpd_fault::no_end_tag));
    bool rv_reported = false;
    for (const vpd_problem& p : info.problems)
        rv_reported = rv_reported || p.fault == vpd_fault::rv_without_checksum;
    if (info.rv_offset < 0 && !rv_reported)
        info.problems.push_back(problem_of(seen_r ? vpd_fault::no_rv_field : vpd_fault::no_vpd_r));
    find_repeated_keywords(info);
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
