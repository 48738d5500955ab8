// The history file: records appended, read back and shown.
#include "romwright/history.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "common/error.h"
#include "common/unique_fd.h"
#include "eeprom/eeprom.h"
#include "eeprom/image_digest.h"
#include "eeprom/vpd.h"
#include "eeprom/vpd_report.h"

namespace {

std::string random_id() {
    uint8_t b[16] = {};
    size_t got = 0;
    while (got < sizeof b) {
        const ssize_t n = getrandom(b + got, sizeof b - got, 0);
        if (n > 0)
            got += static_cast<size_t>(n);
        else if (errno != EINTR)
            break;
    }
    std::string id;
    for (uint8_t x : b)
        id += strprintf("%02x", x);
    return id;
}

std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string trimmed(const std::string& s) {
    size_t end = s.size();
    while (end && (s[end - 1] == ' ' || s[end - 1] == '\0'))
        --end;
    return s.substr(0, end);
}

std::string text_of(const json_value& v) { return v.is_string() ? v.get<std::string>() : std::string("-"); }

// Each outcome's journal MESSAGE_ID, fixed for good so that a query by id
// finds the records of every version, and its syslog priority.
struct journal_outcome {
    const char* outcome;
    const char* message_id;
    int priority;
};
constexpr journal_outcome k_journal_outcomes[] = {
    {"done", "ff6cb18a91b2431f8c567815b19c9871", 5},         // notice
    {"refused", "c293dbcd741c40d98368ce72975a21b4", 4},      // warning
    {"failed", "f95652cf9cd54870bf50b13c97eb4baf", 3},       // err
    {"interrupted", "629377a0302f4ceb97e8b1c458f19dc4", 3},  // err
};

const json_value& member(const json_value& v, const char* key) {
    static const json_value none;
    if (!v.is_object())
        return none;
    const auto it = v.find(key);
    return it == v.end() ? none : *it;
}

std::string identity_of(const json_value& state) {
    if (!state.is_object() || !state.contains("identity"))
        return "-";
    const json_value& id = state["identity"];
    return text_of(id.value("pn", json_value())) + "/" + text_of(id.value("sn", json_value())) + "/" +
           text_of(id.value("mac", json_value()));
}

}  // namespace

json_value eeprom_state_json(const std::vector<uint8_t>& eeprom) {
    const board_identity id = identity_of_copy(&eeprom[BOARD_DETAILS_ADDR]);
    const vpd_report r = make_vpd_report(&eeprom[VPD_AREA_START], VPD_COPIES_IN_IMAGE, VPD_AREA_START);
    auto field = [](const std::string& f) {
        const std::string t = trimmed(f);
        return vpd_escape(reinterpret_cast<const uint8_t*>(t.data()), static_cast<uint32_t>(t.size()));
    };
    return {{"sha256", sha256_hex(eeprom)},
            {"identity", {{"pn", field(id.part_number)}, {"sn", field(id.serial_number)}, {"mac", field(id.mac_address)}}},
            {"good_copies", r.good},
            {"copies", VPD_COPIES_IN_IMAGE}};
}

json_value history_record_base() {
    char host[256] = "";
    if (gethostname(host, sizeof host - 1) != 0)
        host[0] = '\0';
    const uid_t uid = getuid();
    struct passwd pw, *found = nullptr;
    char buf[1024];
    const bool named = getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found;
    return {{"schema", HISTORY_SCHEMA},
            {"id", random_id()},
            {"host", std::string(host)},
            {"version", ROMWRIGHT_VERSION},
            {"user", {{"uid", uid}, {"name", named ? json_value(std::string(pw.pw_name)) : json_value(nullptr)}}}};
}

std::string append_history(const std::string& path, const json_value& record) {
    auto warning = [&](const char* step, int e) {
        return strprintf("romwright: warning: the history record was not written to %s (%s: %s); the command's "
                         "result stands as reported\n",
                         path.c_str(), step, std::strerror(e));
    };
    const std::string folder = folder_of(path);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return warning("mkdir", errno);
    unique_fd f(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (f.fd < 0)
        return warning("open", errno);
    struct stat st;
    if (::fstat(f.fd, &st) != 0)
        return warning("fstat", errno);
    if (!S_ISREG(st.st_mode))
        return warning("open", EINVAL);
    const std::string line = record.dump(-1, ' ', false, json_value::error_handler_t::replace) + "\n";
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(f.fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return warning("write", n < 0 ? errno : EIO);
        done += static_cast<size_t>(n);
    }
    if (::fsync(f.fd) != 0)
        return warning("fsync", errno);
    return "";
}

std::optional<json_value> interrupted_record(const std::string& path, const journal_record& j,
                                             const pci_function& fn) {
    // One record per journal: its id is made from the journal.
    const std::string id = strprintf("interrupted-%s-%lld", j.adapter.c_str(), static_cast<long long>(j.time));
    for (const json_value& r : read_history(path).records)
        if (r.value("id", std::string()) == id)
            return std::nullopt;
    json_value rec = history_record_base();
    rec["id"] = id;
    rec["adapter"] = j.adapter;
    rec["vendor_id"] = strprintf("0x%04x", fn.vendor_id);
    rec["device_id"] = strprintf("0x%04x", fn.device_id);
    rec["command"] = j.command.substr(0, j.command.find(' '));
    json_value words = json_value::array();
    for (size_t at = 0, end; at < j.command.size(); at = end + 1) {
        end = j.command.find(' ', at);
        if (end == std::string::npos)
            end = j.command.size();
        if (end > at)
            words.push_back(j.command.substr(at, end - at));
    }
    rec["words"] = words;
    rec["started"] = j.time ? json_value(utc_time_text(j.time)) : json_value(nullptr);
    rec["ended"] = nullptr;
    rec["outcome"] = "interrupted";
    rec["status"] = nullptr;
    rec["error"] = "the change never finished; its journal was found by a later run";
    rec["image"] = j.image.empty() ? json_value(nullptr)
                                   : json_value{{"path", j.image}, {"sha256", j.image_sha256}, {"digest", nullptr}};
    rec["forced"] = false;
    rec["before"] = nullptr;
    rec["after"] = nullptr;
    rec["words_written"] = nullptr;
    rec["backup"] = j.backup.empty() ? json_value(nullptr) : json_value(j.backup);
    return rec;
}

history_read read_history(const std::string& path) {
    history_read out;
    std::ifstream in(path);
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        if (line.empty())
            continue;
        json_value r = json_value::parse(line, nullptr, false);
        if (r.is_discarded() || !r.is_object() || !r.contains("adapter") || !r["adapter"].is_string())
            out.warnings.push_back(
                strprintf("romwright: warning: %s, line %d: not a history record; skipped\n", path.c_str(), n));
        else
            out.records.push_back(std::move(r));
    }
    return out;
}

namespace {

// The row of an outcome; nullptr for any other word.
const journal_outcome* journal_row(const std::string& outcome) {
    for (const journal_outcome& o : k_journal_outcomes)
        if (outcome == o.outcome)
            return &o;
    return nullptr;
}

}  // namespace

const char* journal_message_id(const std::string& outcome) {
    const journal_outcome* o = journal_row(outcome);
    return o ? o->message_id : nullptr;
}

std::vector<std::string> journal_fields(const json_value& r) {
    std::vector<std::string> f;
    auto put = [&f](const std::string& name, const json_value& v) {
        if (v.is_null())
            return;
        f.push_back(name + "=" + (v.is_string() ? v.get<std::string>()
                                                : v.dump(-1, ' ', false, json_value::error_handler_t::replace)));
    };
    const std::string outcome = text_of(member(r, "outcome"));
    std::string words;
    for (const json_value& w : member(r, "words").is_array() ? member(r, "words") : json_value::array())
        words += (words.empty() ? "" : " ") + text_of(w);

    std::string message = text_of(member(r, "adapter")) + ": " + (words.empty() ? "-" : words) + ": " + outcome;
    const json_value& written = member(r, "words_written");
    if (written.is_number())
        message += ", " + written.dump() + " words written";
    const json_value& error = member(r, "error");
    if (error.is_string()) {
        const std::string e = error.get<std::string>();
        message += ": " + e.substr(0, e.find('\n'));
    }
    put("MESSAGE", message);
    const journal_outcome* row = journal_row(outcome);
    if (row)
        put("MESSAGE_ID", row->message_id);
    put("PRIORITY", row ? row->priority : 3);
    put("SYSLOG_IDENTIFIER", "romwright");

    for (const char* key : {"schema", "id", "host", "adapter", "vendor_id", "device_id", "command", "started", "ended",
                            "outcome", "status", "error", "forced", "words_written", "backup", "version"}) {
        std::string name = std::string("ROMWRIGHT_") + key;
        for (char& c : name)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        put(name, member(r, key));
    }
    if (!words.empty())
        put("ROMWRIGHT_WORDS", words);
    const json_value& image = member(r, "image");
    put("ROMWRIGHT_IMAGE_PATH", member(image, "path"));
    put("ROMWRIGHT_IMAGE_SHA256", member(image, "sha256"));
    put("ROMWRIGHT_IMAGE_DIGEST", member(image, "digest"));
    for (const char* when : {"before", "after"}) {
        const json_value& state = member(r, when);
        const std::string prefix = std::string("ROMWRIGHT_") + (when[0] == 'b' ? "BEFORE_" : "AFTER_");
        put(prefix + "SHA256", member(state, "sha256"));
        put(prefix + "PN", member(member(state, "identity"), "pn"));
        put(prefix + "SN", member(member(state, "identity"), "sn"));
        put(prefix + "MAC", member(member(state, "identity"), "mac"));
        put(prefix + "GOOD_COPIES", member(state, "good_copies"));
    }
    put("ROMWRIGHT_USER_UID", member(member(r, "user"), "uid"));
    put("ROMWRIGHT_USER_NAME", member(member(r, "user"), "name"));
    return f;
}

std::string history_line(const json_value& r) {
    std::string words;
    const json_value w = r.value("words", json_value());
    if (w.is_array())
        for (const json_value& x : w)
            words += (words.empty() ? "" : " ") + text_of(x);
    const json_value& written = r.value("words_written", json_value());
    return strprintf("%s  %s  %s  %s  %s -> %s  %s words  backup %s\n",
                     text_of(r.value("started", json_value())).c_str(), text_of(r["adapter"]).c_str(),
                     (words.empty() ? "-" : words).c_str(), text_of(r.value("outcome", json_value())).c_str(),
                     identity_of(r.value("before", json_value())).c_str(),
                     identity_of(r.value("after", json_value())).c_str(),
                     written.is_number() ? std::to_string(written.get<uint64_t>()).c_str() : "-",
                     text_of(r.value("backup", json_value())).c_str());
}

bool history_matches(const json_value& record, const std::vector<adapter_address>& addresses) {
    adapter_address a;
    if (!parse_adapter_address(record["adapter"].get<std::string>().c_str(), &a))
        return false;
    for (const adapter_address& b : addresses)
        if ((!b.has_domain || b.domain == a.domain) && b.bus == a.bus && b.slot == a.slot && b.function == a.function)
            return true;
    return false;
}
