// The report on a set of VPD copies: decoding, identity agreement, text and
// JSON rendering.
#include "eeprom/vpd_report.h"

#include <cstring>
#include <optional>

#include <nlohmann/json.hpp>

#include "common/error.h"
#include "eeprom/eeprom.h"

namespace {

using json = nlohmann::ordered_json;

// The keyword's data, escaped; nullopt when the copy has no such keyword.
std::optional<std::string> keyword_text(const vpd_report::copy& c, const char* name) {
    const vpd_keyword* k = c.info.find(name);
    if (!k)
        return std::nullopt;
    return vpd_escape(c.bytes.data() + k->offset, k->length);
}

std::optional<std::string> id_text(const vpd_report::copy& c) {
    if (!c.info.has_id_string)
        return std::nullopt;
    return vpd_escape(c.bytes.data() + c.info.id_offset, c.info.id_length);
}

// The keywords the report shows on lines of their own, and RV, whose state
// is the checksum line.
bool shown_apart(const vpd_keyword& k) {
    static const char* const names[] = {"PN", "EC", "SN", "NA", "RV"};
    for (const char* n : names)
        if (std::strcmp(k.name, n) == 0)
            return true;
    return false;
}

const char* copy_state(const vpd_copy_info& info) {
    return info.good() ? "good" : info.blank ? "blank" : "faulty";
}

void compare_field(const vpd_report& r, vpd_field_agreement& f) {
    // Values held by good copies, each with its count, in first-seen order.
    std::vector<std::pair<std::optional<std::string>, int>> seen;
    for (const vpd_report::copy& c : r.copies) {
        if (!c.info.good())
            continue;
        const std::optional<std::string> v = keyword_text(c, f.keyword);
        auto it = seen.begin();
        while (it != seen.end() && it->first != v)
            ++it;
        if (it == seen.end())
            seen.emplace_back(v, 1);
        else
            ++it->second;
    }
    if (seen.empty())
        return;
    auto most = seen.begin();
    for (auto it = seen.begin(); it != seen.end(); ++it)
        if (it->second > most->second)
            most = it;
    f.has_value = most->first.has_value();
    f.value = most->first.value_or("");
    for (const vpd_report::copy& c : r.copies)
        if (c.info.good() && keyword_text(c, f.keyword) != most->first)
            f.differing.push_back(c.index);
}

std::string copy_name(const vpd_report& r, int index) {
    return strprintf("%d (0x%04x)", index, r.copies[static_cast<size_t>(index)].address);
}

// "a", "a and b", "a, b and c"
std::string join_names(const std::vector<std::string>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i)
        out += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    return out;
}

std::string summary_line(const vpd_report& r) {
    std::string line = strprintf("Summary: %d of %zu copies good", r.good, r.copies.size());
    std::vector<std::string> agreeing;
    for (const vpd_field_agreement& f : r.fields) {
        if (f.differing.empty()) {
            agreeing.push_back(f.name);
            continue;
        }
        std::vector<std::string> which;
        for (int i : f.differing)
            which.push_back(copy_name(r, i));
        line += strprintf("; %s differs in cop%s ", f.name, which.size() == 1 ? "y" : "ies");
        for (size_t i = 0; i < which.size(); ++i)
            line += (i ? ", " : "") + which[i];
    }
    if (r.good == 0)
        return line + "; no good copy to compare part number, serial number and MAC address\n";
    if (!agreeing.empty())
        line += "; " + join_names(agreeing) + (agreeing.size() == 1 ? " agrees" : " agree") + " in all good copies";
    return line + "\n";
}

json optional_json(const std::optional<std::string>& v) { return v ? json(*v) : json(nullptr); }

}  // namespace

bool vpd_report::good_copies_agree() const {
    if (good == 0)
        return false;
    for (const vpd_field_agreement& f : fields)
        if (!f.differing.empty())
            return false;
    return true;
}

int vpd_report::status() const {
    return good == static_cast<int>(copies.size()) && good_copies_agree() ? EXIT_STATUS_OK : EXIT_STATUS_FAILED;
}

vpd_report make_vpd_report(const uint8_t* area, int count, uint32_t first_address) {
    vpd_report r;
    r.fields[0].keyword = "PN";
    r.fields[0].name = "part number";
    r.fields[1].keyword = "SN";
    r.fields[1].name = "serial number";
    r.fields[2].keyword = "NA";
    r.fields[2].name = "MAC address";
    for (int i = 0; i < count; ++i) {
        const uint8_t* p = area + size_t{VPD_COPY_SIZE} * static_cast<size_t>(i);
        vpd_report::copy c{i, first_address + VPD_COPY_SIZE * static_cast<uint32_t>(i),
                           std::vector<uint8_t>(p, p + VPD_COPY_SIZE), decode_vpd_copy(p, VPD_COPY_SIZE)};
        r.good += c.info.good() ? 1 : 0;
        r.copies.push_back(std::move(c));
    }
    for (vpd_field_agreement& f : r.fields)
        compare_field(r, f);
    return r;
}

std::string render_vpd_report_text(const vpd_report& r) {
    std::string out;
    auto line = [&out](const char* label, const std::optional<std::string>& v) {
        out += strprintf("  %-10s %s\n", label, v ? v->c_str() : "(none)");
    };
    for (const vpd_report::copy& c : r.copies) {
        out += strprintf("Copy %d at 0x%04x: %s\n", c.index, c.address, copy_state(c.info));
        line("ID string", id_text(c));
        line("PN", keyword_text(c, "PN"));
        line("EC", keyword_text(c, "EC"));
        line("SN", keyword_text(c, "SN"));
        line("NA (MAC)", keyword_text(c, "NA"));
        for (const vpd_keyword& k : c.info.keywords) {
            if (shown_apart(k))
                continue;
            const std::string label = vpd_escape(reinterpret_cast<const uint8_t*>(k.name), 2) +
                                      (k.read_only ? "" : " (rw)");
            // The read-write area is free space, shown by its size only.
            const std::string value = std::strcmp(k.name, "RW") == 0 && !k.read_only
                                          ? strprintf("%u bytes", k.length)
                                          : vpd_escape(c.bytes.data() + k.offset, k.length);
            line(label.c_str(), value);
        }
        line("checksum", std::string(vpd_checksum_name(c.info.checksum)));
        for (const std::string& p : c.info.problems)
            line("problem", p);
    }
    return out + summary_line(r);
}

std::string render_vpd_report_json(const vpd_report& r) {
    json copies = json::array();
    for (const vpd_report::copy& c : r.copies) {
        json others = json::array();
        for (const vpd_keyword& k : c.info.keywords)
            if (!shown_apart(k))
                others.push_back({{"keyword", vpd_escape(reinterpret_cast<const uint8_t*>(k.name), 2)},
                                  {"read_only", k.read_only},
                                  {"length", k.length},
                                  {"value", vpd_escape(c.bytes.data() + k.offset, k.length)}});
        copies.push_back({{"index", c.index},
                          {"address", c.address},
                          {"state", copy_state(c.info)},
                          {"checksum", vpd_checksum_name(c.info.checksum)},
                          {"id_string", optional_json(id_text(c))},
                          {"part_number", optional_json(keyword_text(c, "PN"))},
                          {"ec", optional_json(keyword_text(c, "EC"))},
                          {"serial_number", optional_json(keyword_text(c, "SN"))},
                          {"mac_address", optional_json(keyword_text(c, "NA"))},
                          {"other_keywords", others},
                          {"problems", c.info.problems}});
    }
    // "good" counts the good copies, "agree" says what the summary line
    // says: the good copies hold the same part number, serial number and
    // MAC address (false when no copy is good: nothing agrees).
    json summary = {{"copies", r.copies.size()}, {"good", r.good}, {"agree", r.good_copies_agree()}};
    static const char* const keys[] = {"part_number", "serial_number", "mac_address"};
    for (size_t i = 0; i < 3; ++i) {
        const vpd_field_agreement& f = r.fields[i];
        summary[keys[i]] = {{"value", f.has_value ? json(f.value) : json(nullptr)}, {"differing_copies", f.differing}};
    }
    const json doc = {{"copies", copies}, {"summary", summary}, {"status", r.status()}};
    return doc.dump(2) + "\n";
}

std::string render_json_error(const std::string& text, int status) {
    std::string message = text;
    while (!message.empty() && message.back() == '\n')
        message.pop_back();
    // Messages may carry names of the user's files: never fail on bytes
    // that are not UTF-8.
    const json doc = {{"error", message}, {"status", status}};
    return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}
