// The report on a set of VPD copies as text and as JSON, for the vpd
// command and romwright-vpd.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "common/error.h"
#include "eeprom/vpd_report.h"

// Every document is built as one such value and printed once.
using json_value = nlohmann::ordered_json;
// The version of every JSON document's layout, under the key
// "schema_version" (the files of schemas/ describe it).
constexpr int JSON_SCHEMA_VERSION = 5;

// An identity field (part number, serial number, MAC address) as every
// output gives it: its padding (trailing blanks and NUL bytes) dropped,
// escaped (vpd_escape).
std::string identity_value(const std::string& raw);
// A MAC address of 12 hexadecimal digits as "0c:4e:29:00:00:01"; nullopt
// for anything else.
std::optional<std::string> mac_with_colons(const std::string& raw);
// Sets obj[key] to the field's identity_value() (null for nullopt), with
// key + "_raw" (the bytes escaped, padding kept) when the two differ, and
// for a MAC address (mac) key + "_colons" (mac_with_colons(), or null).
void put_identity_field(json_value& obj, const std::string& key, const std::optional<std::string>& raw,
                        bool mac = false);

// A document as printed: indented by 2, bytes that are not UTF-8 replaced
// (messages may carry names of the user's files), ending in a newline.
std::string json_text(const json_value& doc);

// One block per copy (address, ID string, PN, EC, SN, NA, every other
// keyword in copy order, a repeated one included, checksum, problems), then
// one summary line; copies whose lines are the same share one block
// ("Copies 0-1 and 3-13: good, identical") unless every_copy.  Every byte
// from the copies is shown escaped (vpd_escape).
std::string render_vpd_report_text(const vpd_report& report, bool every_copy = false);
// The copies' blocks alone, without the summary line.
std::string render_vpd_copies_text(const vpd_report& report, bool every_copy = false);
// The copies and the summary, as the vpd document holds them; each copy's
// "keywords" lists every keyword in copy order.
json_value vpd_report_json(const vpd_report& report);
// romwright-vpd's document: the copies, the summary and its status.
std::string render_vpd_report_json(const vpd_report& report);

// A failure as one JSON document: {"error": text without its final line
// end, "status": status}, ending in a newline.
std::string render_json_error(const std::string& text, int status,
                              const std::vector<failure::fact>& facts = {});
