// The report on a set of VPD copies: decoding and identity agreement.
#include "eeprom/vpd_report.h"

#include <algorithm>

#include "common/error.h"
#include "common/eeprom_map.h"

namespace {

void compare_field(const vpd_report& r, vpd_field_agreement& f) {
    // Values held by good copies, each with its count and first holder, in
    // first-seen order.
    struct held {
        std::optional<std::string> value;
        int count;
        const vpd_report::copy* first;
    };
    std::vector<held> seen;
    for (const vpd_report::copy& c : r.copies) {
        if (!c.info.good())
            continue;
        const std::optional<std::string> v = keyword_text(c, f.keyword);
        auto it = seen.begin();
        while (it != seen.end() && it->value != v)
            ++it;
        if (it == seen.end())
            seen.push_back({v, 1, &c});
        else
            ++it->count;
    }
    if (seen.empty())
        return;
    auto most = seen.begin();
    for (auto it = seen.begin(); it != seen.end(); ++it)
        if (it->count > most->count)
            most = it;
    f.has_value = most->value.has_value();
    f.value = most->value.value_or("");
    if (const vpd_keyword* k = most->first->info.find(f.keyword))
        f.bytes.assign(reinterpret_cast<const char*>(most->first->bytes.data() + k->offset), k->length);
    for (const vpd_report::copy& c : r.copies)
        if (c.info.good() && keyword_text(c, f.keyword) != most->value)
            f.differing.push_back(c.index);
}

}  // namespace

bool vpd_report::good_copies_agree() const {
    if (good == 0)
        return false;
    for (const vpd_field_agreement& f : fields)
        if (!f.differing.empty())
            return false;
    return true;
}

const char* copy_state_name(const vpd_copy_info& info) { return info.good() ? "good" : info.blank ? "blank" : "faulty"; }

std::optional<std::string> keyword_text(const vpd_report::copy& c, const char* name) {
    const vpd_keyword* k = c.info.find(name);
    if (!k)
        return std::nullopt;
    return vpd_escape(c.bytes.data() + k->offset, k->length);
}

std::optional<std::string> id_string_text(const vpd_report::copy& c) {
    if (!c.info.has_id_string)
        return std::nullopt;
    return vpd_escape(c.bytes.data() + c.info.id_offset, c.info.id_length);
}

namespace {

// A report on no copy yet: its fields named.
vpd_report empty_report() {
    vpd_report r;
    r.fields[0].keyword = "PN";
    r.fields[0].name = "part number";
    r.fields[1].keyword = "SN";
    r.fields[1].name = "serial number";
    r.fields[2].keyword = "NA";
    r.fields[2].name = "MAC address";
    return r;
}

// The good copies counted and their fields compared.
vpd_report compared(vpd_report r) {
    for (const vpd_report::copy& c : r.copies)
        r.good += c.info.good() ? 1 : 0;
    for (vpd_field_agreement& f : r.fields)
        compare_field(r, f);
    return r;
}

}  // namespace

vpd_report make_vpd_report(const uint8_t* area, int count, uint32_t first_address) {
    vpd_report r = empty_report();
    for (int i = 0; i < count; ++i) {
        const uint8_t* p = area + size_t{VPD_COPY_SIZE} * static_cast<size_t>(i);
        vpd_report::copy c{i, first_address + VPD_COPY_SIZE * static_cast<uint32_t>(i),
                           std::vector<uint8_t>(p, p + VPD_COPY_SIZE), decode_vpd_copy(p, VPD_COPY_SIZE)};
        r.copies.push_back(std::move(c));
    }
    return compared(std::move(r));
}

vpd_report make_kernel_copy_report(const std::vector<uint8_t>& file) {
    vpd_report r = empty_report();
    const uint32_t shown = static_cast<uint32_t>(std::min<size_t>(file.size(), VPD_COPY_SIZE));
    std::vector<uint8_t> bytes(VPD_COPY_SIZE, 0xFF);
    std::copy(file.begin(), file.begin() + shown, bytes.begin());
    vpd_copy_info info = decode_vpd_copy(bytes.data(), shown);
    r.copies.push_back(vpd_report::copy{0, VPD_AREA_START, std::move(bytes), std::move(info)});
    return compared(std::move(r));
}
