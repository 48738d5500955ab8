// The report on a set of VPD copies as text and as JSON.
#include "romwright/vpd_render.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>

#include "common/error.h"
#include "romwright/messages.h"

namespace {

// The keywords the report shows on lines of their own (the first PN, EC,
// SN and NA), and the first RV, whose state is the checksum line; any
// other, a repeated one included, is shown with the copy's other keywords.
bool shown_apart(const vpd_copy_info& info, const vpd_keyword& k) {
    static const char* const names[] = {"PN", "EC", "SN", "NA", "RV"};
    for (const char* n : names)
        if (std::strcmp(k.name, n) == 0)
            return info.find(n) == &k;
    return false;
}

json_value keyword_json(const vpd_report::copy& c, const vpd_keyword& k) {
    return {{"keyword", vpd_escape(reinterpret_cast<const uint8_t*>(k.name), 2)},
            {"read_only", k.read_only},
            {"length", k.length},
            {"value", vpd_escape(c.bytes.data() + k.offset, k.length)}};
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

// The keyword's data as the copy holds it; nullopt: the copy lacks it.
std::optional<std::string> keyword_bytes(const vpd_report::copy& c, const char* name) {
    const vpd_keyword* k = c.info.find(name);
    if (!k)
        return std::nullopt;
    return std::string(reinterpret_cast<const char*>(c.bytes.data() + k->offset), k->length);
}

json_value optional_json(const std::optional<std::string>& v) { return v ? json_value(*v) : json_value(nullptr); }

// A copy's lines below its head: ID string, PN, EC, SN, NA, the other
// keywords, checksum, problems.
std::string copy_details(const vpd_report::copy& c) {
    std::string out;
    auto line = [&out](const char* label, const std::optional<std::string>& v) {
        out += strprintf("  %-10s %s\n", label, v ? v->c_str() : "(none)");
    };
    line("ID string", id_string_text(c));
    line("PN", keyword_text(c, "PN"));
    line("EC", keyword_text(c, "EC"));
    line("SN", keyword_text(c, "SN"));
    line("NA (MAC)", keyword_text(c, "NA"));
    for (const vpd_keyword& k : c.info.keywords) {
        if (shown_apart(c.info, k))
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
    for (const vpd_problem& p : c.info.problems)
        line("problem", vpd_problem_text(p));
    return out;
}

// "0-1, 3 and 5-13"
std::string index_ranges(const std::vector<int>& indexes) {
    std::vector<std::string> ranges;
    for (size_t i = 0; i < indexes.size();) {
        size_t j = i;
        while (j + 1 < indexes.size() && indexes[j + 1] == indexes[j] + 1)
            ++j;
        ranges.push_back(j == i ? std::to_string(indexes[i])
                                : std::to_string(indexes[i]) + "-" + std::to_string(indexes[j]));
        i = j + 1;
    }
    return join_names(ranges);
}

}  // namespace

std::string render_vpd_report_text(const vpd_report& r, bool every_copy) {
    return render_vpd_copies_text(r, every_copy) + summary_line(r);
}

std::string render_vpd_copies_text(const vpd_report& r, bool every_copy) {
    // Copies whose lines are the same are shown once, in the order of
    // their first copy.
    std::vector<std::pair<std::string, std::vector<int>>> blocks;  // details, the copies holding them
    for (size_t i = 0; i < r.copies.size(); ++i) {
        const std::string details = copy_details(r.copies[i]);
        auto same = std::find_if(blocks.begin(), blocks.end(), [&](const auto& b) { return b.first == details; });
        if (every_copy || same == blocks.end())
            blocks.push_back({details, {static_cast<int>(i)}});
        else
            same->second.push_back(static_cast<int>(i));
    }
    std::string out;
    for (const auto& [details, indexes] : blocks) {
        const vpd_report::copy& c = r.copies[static_cast<size_t>(indexes.front())];
        if (indexes.size() == 1)
            out += strprintf("Copy %d at 0x%04x: %s\n", c.index, c.address, copy_state_name(c.info));
        else
            out += strprintf("Copies %s: %s, identical\n", index_ranges(indexes).c_str(), copy_state_name(c.info));
        out += details;
    }
    return out;
}

json_value vpd_report_json(const vpd_report& r) {
    json_value copies = json_value::array();
    for (const vpd_report::copy& c : r.copies) {
        json_value others = json_value::array(), all = json_value::array();
        for (const vpd_keyword& k : c.info.keywords) {
            if (!shown_apart(c.info, k))
                others.push_back(keyword_json(c, k));
            json_value one = keyword_json(c, k);
            one["offset"] = k.offset - 3;
            all.push_back(std::move(one));
        }
        json_value copy = {{"index", c.index},
                           {"address", c.address},
                           {"state", copy_state_name(c.info)},
                           {"checksum", vpd_checksum_name(c.info.checksum)},
                           {"id_string", optional_json(id_string_text(c))}};
        put_identity_field(copy, "part_number", keyword_bytes(c, "PN"));
        copy["ec"] = optional_json(keyword_text(c, "EC"));
        put_identity_field(copy, "serial_number", keyword_bytes(c, "SN"));
        put_identity_field(copy, "mac_address", keyword_bytes(c, "NA"), true);
        copy["other_keywords"] = others;
        copy["problems"] = vpd_problem_texts(c.info.problems);
        copy["keywords"] = all;
        copies.push_back(std::move(copy));
    }
    // "good" counts the good copies, "agree" says what the summary line
    // says: the good copies hold the same part number, serial number and
    // MAC address (false when no copy is good: nothing agrees).
    json_value summary = {{"copies", r.copies.size()}, {"good", r.good}, {"agree", r.good_copies_agree()}};
    static const char* const keys[] = {"part_number", "serial_number", "mac_address"};
    for (size_t i = 0; i < 3; ++i) {
        const vpd_field_agreement& f = r.fields[i];
        json_value field = json_value::object();
        put_identity_field(field, "value", f.has_value ? std::optional<std::string>(f.bytes) : std::nullopt, i == 2);
        field["differing_copies"] = f.differing;
        summary[keys[i]] = field;
    }
    return {{"copies", copies}, {"summary", summary}};
}

std::string render_vpd_report_json(const vpd_report& r) {
    json_value doc = {{"schema_version", JSON_SCHEMA_VERSION}};
    doc.update(vpd_report_json(r));
    doc["status"] = exit_status_of(r.verdict());
    return doc.dump(2) + "\n";
}

std::string identity_value(const std::string& raw) {
    size_t end = raw.size();
    while (end && (raw[end - 1] == ' ' || raw[end - 1] == '\0'))
        --end;
    return vpd_escape(reinterpret_cast<const uint8_t*>(raw.data()), static_cast<uint32_t>(end));
}

std::optional<std::string> mac_with_colons(const std::string& raw) {
    if (raw.size() != 12 || raw.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return std::nullopt;
    std::string out;
    for (size_t i = 0; i < raw.size(); i += 2)
        out += (i ? ":" : "") + raw.substr(i, 2);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

void put_identity_field(json_value& obj, const std::string& key, const std::optional<std::string>& raw, bool mac) {
    if (!raw) {
        obj[key] = nullptr;
    } else {
        const std::string text = identity_value(*raw);
        const std::string bytes = vpd_escape(reinterpret_cast<const uint8_t*>(raw->data()),
                                             static_cast<uint32_t>(raw->size()));
        obj[key] = text;
        if (bytes != text)
            obj[key + "_raw"] = bytes;
    }
    if (mac) {
        const std::optional<std::string> colons = raw ? mac_with_colons(*raw) : std::nullopt;
        obj[key + "_colons"] = colons ? json_value(*colons) : json_value(nullptr);
    }
}

std::string json_text(const json_value& doc) {
    return doc.dump(2, ' ', false, json_value::error_handler_t::replace) + "\n";
}

std::string render_json_error(const std::string& text, int status, const std::vector<failure::fact>& facts) {
    json_value doc = {{"schema_version", JSON_SCHEMA_VERSION}, {"error", without_trailing_newlines(text)}};
    for (const failure::fact& f : facts)
        doc[f.first] = f.second;
    doc["status"] = status;
    return json_text(doc);
}
