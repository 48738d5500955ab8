#include "romwright/metrics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/error.h"
#include "common/unique_fd.h"
#include "romwright/command_rows.h"
#include "romwright/history.h"

namespace {

void family(std::string& out, const char* name, const char* help) {
    out += strprintf("# HELP %s %s\n# TYPE %s gauge\n", name, help, name);
}

std::string address_label(const adapter_metrics& a) {
    return "address=\"" + prometheus_label_value(a.address) + "\"";
}

// The identifier string of the first good copy; empty: none.
std::string id_string_of(const vpd_report& r) {
    for (const vpd_report::copy& c : r.copies)
        if (c.info.good())
            return id_string_text(c).value_or("");
    return "";
}

// The field as most good copies hold it, its padding spaces dropped; empty:
// none.
std::string field_value(const vpd_report& r, int index) {
    const std::string& v = r.fields[index].value;
    const size_t first = v.find_first_not_of(' ');
    if (!r.fields[index].has_value || first == std::string::npos)
        return "";
    return v.substr(first, v.find_last_not_of(' ') - first + 1);
}

failure file_failure(const std::string& path, const char* what, int e) {
    return failure(error_kind::failed,
                   strprintf("the metrics file %s could not be written: %s: %s\n", path.c_str(), what,
                             std::strerror(e)));
}

// A temporary file that is removed unless it was renamed into place.
struct temporary_file {
    std::string path;
    bool kept = false;
    ~temporary_file() {
        if (!kept && !path.empty())
            ::unlink(path.c_str());
    }
};

}  // namespace

std::string prometheus_label_value(const std::string& text) {
    std::string out;
    for (const char ch : text) {
        const unsigned char b = static_cast<unsigned char>(ch);
        if (b == '\\')
            out += "\\\\";
        else if (b == '"')
            out += "\\\"";
        else if (b == '\n')
            out += "\\n";
        else if (b >= 0x20 && b < 0x7F)
            out += ch;
        else
            out += strprintf("\\\\x%02x", b);
    }
    return out;
}

std::optional<last_change> last_change_of(const std::vector<json_value>& records, const std::string& address) {
    adapter_address a;
    if (!parse_adapter_address(address.c_str(), &a))
        return std::nullopt;
    for (auto r = records.rbegin(); r != records.rend(); ++r) {
        if (!history_matches(*r, {a}))
            continue;
        last_change c;
        for (const char* key : {"ended", "started"}) {
            const json_value& t = r->value(key, json_value());
            if (!c.time && t.is_string())
                c.time = utc_seconds(t.get<std::string>());
        }
        // An exit status is 0 to 255: anything else recorded is none.
        const json_value& status = r->value("status", json_value());
        if (status.is_number_integer() && status.get<int64_t>() >= 0 && status.get<int64_t>() <= 255)
            c.status = static_cast<int>(status.get<int64_t>());
        return c;
    }
    return std::nullopt;
}

std::string render_metrics(const std::vector<adapter_metrics>& adapters, const identity_check& ids, bool history) {
    std::string out;
    family(out, "romwright_adapter_info",
           "The adapter's identity as most good VPD copies hold it, padding dropped (empty: none holds it).");
    for (const adapter_metrics& a : adapters) {
        if (!a.report)
            continue;
        const vpd_report& r = *a.report;
        out += "romwright_adapter_info{" + address_label(a) + ",part_number=\"" +
               prometheus_label_value(field_value(r, 0)) + "\",serial_number=\"" +
               prometheus_label_value(field_value(r, 1)) + "\",mac_address=\"" +
               prometheus_label_value(field_value(r, 2)) + "\",id_string=\"" +
               prometheus_label_value(id_string_of(r)) + "\"} 1\n";
    }
    family(out, "romwright_vpd_read_success", "Whether the adapter's VPD copies were read (1) or not (0).");
    for (const adapter_metrics& a : adapters)
        out += strprintf("romwright_vpd_read_success{%s} %d\n", address_label(a).c_str(), a.report ? 1 : 0);
    family(out, "romwright_vpd_copies", "VPD copies in the adapter's EEPROM.");
    for (const adapter_metrics& a : adapters)
        if (a.report)
            out += strprintf("romwright_vpd_copies{%s} %zu\n", address_label(a).c_str(), a.report->copies.size());
    family(out, "romwright_vpd_copies_good", "VPD copies of the adapter that are good.");
    for (const adapter_metrics& a : adapters)
        if (a.report)
            out += strprintf("romwright_vpd_copies_good{%s} %d\n", address_label(a).c_str(), a.report->good);
    family(out, "romwright_change_interrupted",
           "Whether a change of the adapter's EEPROM was interrupted and stands unfinished (1) or not (0).");
    for (const adapter_metrics& a : adapters)
        if (a.report)
            out += strprintf("romwright_change_interrupted{%s} %d\n", address_label(a).c_str(), a.interrupted ? 1 : 0);
    if (history) {
        family(out, "romwright_last_change_timestamp_seconds",
               "When the adapter's last recorded change ended (an interrupted one: started), in seconds since the "
               "epoch.");
        for (const adapter_metrics& a : adapters)
            if (a.last && a.last->time)
                out += strprintf("romwright_last_change_timestamp_seconds{%s} %lld\n", address_label(a).c_str(),
                                 static_cast<long long>(*a.last->time));
        family(out, "romwright_last_change_status",
               "The exit status of the adapter's last recorded change (0: done; none for an interrupted one).");
        for (const adapter_metrics& a : adapters)
            if (a.last && a.last->status)
                out += strprintf("romwright_last_change_status{%s} %d\n", address_label(a).c_str(), *a.last->status);
    }
    family(out, "romwright_duplicated_identities",
           "MAC addresses or serial numbers that more than one board of this host holds.");
    for (const char* field : {"mac", "serial"})
        out += strprintf("romwright_duplicated_identities{field=\"%s\"} %d\n", field, ids.duplicated(field));
    return out;
}

void write_metrics_file(const std::string& path, const std::string& text) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    // Not ending in .prom: the collector never reads a half-written file.
    temporary_file tmp;
    std::string pattern = folder + "/." + name + ".XXXXXX";
    unique_fd fd(::mkstemp(&pattern[0]));
    if (fd.fd < 0)
        throw file_failure(path, "cannot create a temporary file beside it", errno);
    tmp.path = pattern;
    if (::fchmod(fd.fd, 0644) != 0)
        throw file_failure(path, "fchmod", errno);
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd.fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw file_failure(path, "write", errno);
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd.fd) != 0)
        throw file_failure(path, "fsync", errno);
    if (::close(fd.release()) != 0)
        throw file_failure(path, "close", errno);
    if (::rename(tmp.path.c_str(), path.c_str()) != 0)
        throw file_failure(path, "rename", errno);
    tmp.kept = true;
    // The rename itself, on the disk.
    const unique_fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd >= 0)
        ::fsync(dir.fd);
}

identity_verdict finish_identity_run(const request& rq, const std::string& history_file,
                                     const std::vector<std::pair<std::string, const run_outcome*>>& adapters,
                                     bool compare) {
    identity_verdict v;
    std::vector<board_read> boards;
    std::vector<adapter_metrics> metrics;
    for (const auto& [label, o] : adapters) {
        const vpd_report* r = std::get_if<vpd_report>(&o->output);
        if (r)
            boards.push_back({label, r});
        metrics.push_back({label, r, o->interrupted.has_value()});
    }
    if (compare) {
        v.check = compare_identities(boards);
        note_identity_check(v.check, stderr);
        if (!v.check.duplicates.empty())
            v.kind = error_kind::failed;
    }
    if (rq.prometheus_file.empty())
        return v;
    // The last changes, when there is a history; its lines that are no
    // record are the history command's to name.  One that cannot be read
    // leaves them out, with a warning.
    const history_read h = history_file.empty() ? history_read() : read_history(history_file);
    if (!h.error.empty())
        std::fprintf(stderr, "romwright: warning: %s; the metrics leave out the last changes\n", h.error.c_str());
    const bool history = h.exists && h.error.empty();
    if (history)
        for (adapter_metrics& m : metrics)
            m.last = last_change_of(h.records, m.address);
    try {
        write_metrics_file(rq.prometheus_file, render_metrics(metrics, v.check, history));
    } catch (const failure& e) {
        std::fprintf(stderr, "romwright: %s", e.what());
        v.kind = e.kind();
    }
    return v;
}
