// vpd -prometheus FILE: the adapters' identity and VPD state in the
// Prometheus text exposition format, for the node exporter's textfile
// collector.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/error.h"
#include "eeprom/vpd_report.h"
#include "romwright/identities.h"
#include "romwright/vpd_render.h"

// The last change of an adapter that the history file records.
struct last_change {
    std::optional<int64_t> time;  // when it ended (started: an interrupted one), seconds since the epoch
    std::optional<int> status;    // its exit status; none for an interrupted one
};

// One adapter of the run.
struct adapter_metrics {
    std::string address;        // DDDD:BB:SS.F, or the -b as given when it found none
    const vpd_report* report;   // nullptr: the VPD was not read
    bool interrupted;           // a journal of an unfinished change stands
    std::optional<last_change> last = std::nullopt;  // none: the history holds no change of it
    const char* via = nullptr;  // "kernel" or "registers": where the copies were read; nullptr: no source chosen
    std::string image_digest = "";  // of the whole EEPROM (image_digest()); empty: it was not read
};

// The last of records (the history file's, in file order) whose adapter is
// address (matched as -b matches it); none when there is none.
std::optional<last_change> last_change_of(const std::vector<json_value>& records, const std::string& address);

// A label value as the exposition format takes it: backslash, double quote
// and line feed escaped; any other byte that is not printable ASCII shown
// as the text "\xNN" (its backslash escaped).
std::string prometheus_label_value(const std::string& text);

// The whole file: romwright_build_info; per adapter romwright_adapter_info,
// romwright_eeprom_image_info (where the whole EEPROM was read), romwright_vpd_read_success,
// romwright_vpd_copies, romwright_vpd_copies_good (these three with the label
// via when a source was chosen), romwright_change_interrupted,
// and with history (the history file exists) romwright_last_change_timestamp_seconds
// and romwright_last_change_status of the adapters it records; for the host
// romwright_duplicated_identities per field.
std::string render_metrics(const std::vector<adapter_metrics>& adapters, const identity_check& ids,
                           bool history = false);

struct request;
struct run_outcome;
struct site;

// How a run of a command that reports identities ends over its adapters.
struct identity_verdict {
    identity_check check;
    error_kind kind = error_kind::none;  // failed: a duplicate, or the metrics file not written
    bool metrics_failed = false;         // -prometheus FILE: the metrics file was not written
    std::string metrics_text;            // -prometheus -: the metrics, for standard output
};
// The end of such a run over its adapters (label and outcome, in address
// order): with compare (several adapters), the identities compared and
// noted on standard error; with rq's -prometheus file, the metrics written
// through replace_file() (never over a file of the run's kept_paths(); a
// failure noted on standard error), or kept in metrics_text for -prometheus
// -; each adapter's last change taken from the site's history file when it
// exists.
identity_verdict finish_identity_run(const request& rq, const site& where,
                                     const std::vector<std::pair<std::string, const run_outcome*>>& adapters,
                                     bool compare);
