#include "romwright/identities.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <set>

#include "eeprom/copy_identity.h"

namespace {

struct compared_field {
    const char* field;  // the key's value in the documents
    const char* name;   // as the notes say it
    int index;          // in vpd_report::fields
    identity_field compared;
};
const compared_field k_compared[] = {
    {"mac", "MAC address", 2, identity_field::mac_address},
    {"serial", "serial number", 1, identity_field::serial_number},
};

// The text with every occurrence of piece removed; false when anything
// else is left.
bool only(std::string text, const std::string& piece) {
    for (size_t p; (p = text.find(piece)) != std::string::npos;)
        text.erase(p, piece.size());
    return text.empty();
}

std::string lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// DDDD:BB:SS of a function's address.
std::string device_of(const std::string& adapter) { return adapter.substr(0, adapter.rfind('.')); }

std::string joined(const std::vector<std::string>& adapters) {
    std::string out;
    for (const std::string& a : adapters)
        out += (out.empty() ? "" : ", ") + a;
    return out;
}

const char* name_of(const char* field) {
    for (const compared_field& f : k_compared)
        if (std::strcmp(f.field, field) == 0)
            return f.name;
    return field;
}

}  // namespace

bool identity_blank(const char* field, bool has_value, const std::string& value) {
    if (!has_value)
        return true;
    std::string rest;
    for (char c : value)
        if (c != ' ')
            rest += c;
    rest = lower(rest);
    return only(rest, "\\x00") || only(rest, "\\xff") || only(rest, "0") ||
           (std::strcmp(field, "mac") == 0 && only(rest, "f"));
}

int identity_check::duplicated(const char* field) const {
    return static_cast<int>(std::count_if(duplicates.begin(), duplicates.end(),
                                          [&](const shared& s) { return std::strcmp(s.field, field) == 0; }));
}

identity_check compare_identities(const std::vector<board_read>& boards) {
    identity_check c;
    for (const compared_field& f : k_compared) {
        std::map<std::string, std::vector<std::string>> holders;  // value -> functions
        identity_check::blank blank{f.field, {}};
        for (const board_read& b : boards) {
            const vpd_field_agreement& a = b.report->fields[f.index];
            if (identity_blank(f.field, a.has_value, a.value))
                blank.adapters.push_back(b.adapter);
            else
                holders[compared_identity(f.compared, a.bytes)].push_back(b.adapter);
        }
        for (const auto& [value, adapters] : holders) {
            std::set<std::string> devices;
            for (const std::string& a : adapters)
                devices.insert(device_of(a));
            const auto* bytes = reinterpret_cast<const uint8_t*>(value.data());
            if (devices.size() > 1)
                c.duplicates.push_back({f.field, vpd_escape(bytes, static_cast<uint32_t>(value.size())), adapters});
        }
        if (!blank.adapters.empty())
            c.blanks.push_back(blank);
    }
    return c;
}

void note_identity_check(const identity_check& c, std::FILE* notes) {
    for (const identity_check::shared& d : c.duplicates)
        std::fprintf(notes, "romwright: %s %s on more than one board: %s\n", name_of(d.field), d.value.c_str(),
                     joined(d.adapters).c_str());
    for (const identity_check::blank& b : c.blanks)
        std::fprintf(notes, "romwright: %s blank (not compared): %s\n", name_of(b.field), joined(b.adapters).c_str());
}

void put_identity_check(json_value& doc, const identity_check& c) {
    json_value duplicates = json_value::array();
    for (const identity_check::shared& d : c.duplicates)
        duplicates.push_back({{"field", d.field}, {"value", d.value}, {"adapters", d.adapters}});
    json_value blank = json_value::array();
    for (const identity_check::blank& b : c.blanks)
        blank.push_back({{"field", b.field}, {"adapters", b.adapters}});
    doc["duplicates"] = duplicates;
    doc["blank"] = blank;
}
