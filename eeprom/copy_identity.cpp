// The identity VPD copies hold.
#include "eeprom/copy_identity.h"

#include <cctype>
#include <utility>
#include <vector>

namespace {

std::optional<std::string> keyword_data(const vpd_report::copy& c, const char* name) {
    const vpd_keyword* k = c.info.find(name);
    if (!k)
        return std::nullopt;
    return std::string(reinterpret_cast<const char*>(c.bytes.data() + k->offset), k->length);
}

}  // namespace

held_identity identity_held(const vpd_report::copy& c) {
    return {identity_of_copy(c.bytes.data()), keyword_data(c, "PN"), keyword_data(c, "SN"), keyword_data(c, "NA")};
}

std::optional<held_identity> majority_held(const vpd_report& r) {
    std::vector<std::pair<held_identity, int>> seen;
    for (const vpd_report::copy& c : r.copies) {
        if (!c.info.good())
            continue;
        const held_identity id = identity_held(c);
        auto it = seen.begin();
        while (it != seen.end() && it->first != id)
            ++it;
        if (it == seen.end())
            seen.emplace_back(id, 1);
        else
            ++it->second;
    }
    for (const auto& e : seen)
        if (2 * e.second > r.good)
            return e.first;
    return std::nullopt;
}

std::string compared_identity(identity_field f, const std::string& bytes) {
    static const char padding[] = {' ', '\0'};
    const std::string pad(padding, sizeof padding);
    const size_t first = bytes.find_first_not_of(pad);
    std::string v = first == std::string::npos ? "" : bytes.substr(first, bytes.find_last_not_of(pad) - first + 1);
    if (f == identity_field::mac_address)
        for (char& c : v)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return v;
}

bool same_identity(identity_field f, const std::string& a, const std::string& b) {
    return compared_identity(f, a) == compared_identity(f, b);
}

vpd_report copies_of(const uint8_t* eeprom) {
    return make_vpd_report(eeprom + VPD_AREA_START, VPD_COPIES_IN_IMAGE, VPD_AREA_START);
}

std::optional<board_identity> majority_identity(const uint8_t* eeprom) {
    const std::optional<held_identity> most = majority_held(copies_of(eeprom));
    if (!most)
        return std::nullopt;
    return most->fields;
}
