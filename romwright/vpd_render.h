// The report on a set of VPD copies as text and as JSON, for the vpd
// command and romwright-vpd.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "common/error.h"
#include "eeprom/vpd_report.h"

// Every document is built as one such value and printed once.
using json_value = nlohmann::ordered_json;
// A document as printed: indented by 2, bytes that are not UTF-8 replaced
// (messages may carry names of the user's files), ending in a newline.
std::string json_text(const json_value& doc);

// One block per copy (address, ID string, PN, EC, SN, NA, every other
// keyword in copy order, a repeated one included, checksum, problems), then
// one summary line.  Every byte from the copies is shown escaped
// (vpd_escape).
std::string render_vpd_report_text(const vpd_report& report);
// The copies' blocks alone, without the summary line.
std::string render_vpd_copies_text(const vpd_report& report);
// The copies and the summary, as the vpd document holds them; each copy's
// "keywords" lists every keyword in copy order.
json_value vpd_report_json(const vpd_report& report);
// romwright-vpd's document: the copies, the summary and its status.
std::string render_vpd_report_json(const vpd_report& report);

// A failure as one JSON document: {"error": text without its final line
// end, "status": status}, ending in a newline.
std::string render_json_error(const std::string& text, int status,
                              const std::vector<failure::fact>& facts = {});
