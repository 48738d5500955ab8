// The report on a set of VPD copies as text and as JSON.
#include "romwright/vpd_render.h"

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

json_value optional_json(const std::optional<std::string>& v) { return v ? json_value(*v) : json_value(nullptr); }

}  // namespace

std::string render_vpd_report_text(const vpd_report& r) { return render_vpd_copies_text(r) + summary_line(r); }

std::string render_vpd_copies_text(const vpd_report& r) {
    std::string out;
    auto line = [&out](const char* label, const std::optional<std::string>& v) {
        out += strprintf("  %-10s %s\n", label, v ? v->c_str() : "(none)");
    };
    for (const vpd_report::copy& c : r.copies) {
        out += strprintf("Copy %d at 0x%04x: %s\n", c.index, c.address, copy_state_name(c.info));
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
        copies.push_back({{"index", c.index},
                          {"address", c.address},
                          {"state", copy_state_name(c.info)},
                          {"checksum", vpd_checksum_name(c.info.checksum)},
                          {"id_string", optional_json(id_string_text(c))},
                          {"part_number", optional_json(keyword_text(c, "PN"))},
                          {"ec", optional_json(keyword_text(c, "EC"))},
                          {"serial_number", optional_json(keyword_text(c, "SN"))},
                          {"mac_address", optional_json(keyword_text(c, "NA"))},
                          {"other_keywords", others},
                          {"problems", vpd_problem_texts(c.info.problems)},
                          {"keywords", all}});
    }
    // "good" counts the good copies, "agree" says what the summary line
    // says: the good copies hold the same part number, serial number and
    // MAC address (false when no copy is good: nothing agrees).
    json_value summary = {{"copies", r.copies.size()}, {"good", r.good}, {"agree", r.good_copies_agree()}};
    static const char* const keys[] = {"part_number", "serial_number", "mac_address"};
    for (size_t i = 0; i < 3; ++i) {
        const vpd_field_agreement& f = r.fields[i];
        summary[keys[i]] = {{"value", f.has_value ? json_value(f.value) : json_value(nullptr)},
                            {"differing_copies", f.differing}};
    }
    return {{"copies", copies}, {"summary", summary}};
}

std::string render_vpd_report_json(const vpd_report& r) {
    json_value doc = vpd_report_json(r);
    doc["status"] = exit_status_of(r.verdict());
    return doc.dump(2) + "\n";
}

std::string json_text(const json_value& doc) {
    return doc.dump(2, ' ', false, json_value::error_handler_t::replace) + "\n";
}

std::string render_json_error(const std::string& text, int status, const std::vector<failure::fact>& facts) {
    json_value doc = {{"error", without_trailing_newlines(text)}};
    for (const failure::fact& f : facts)
        doc[f.first] = f.second;
    doc["status"] = status;
    return json_text(doc);
}
