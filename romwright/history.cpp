// The history file: records appended, read back and shown.
#include "romwright/history.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "common/error.h"
#include "common/paths.h"
#include "common/sha256.h"
#include "common/unique_fd.h"
#include "eeprom/eeprom.h"
#include "eeprom/image_digest.h"
#include "eeprom/vpd.h"
#include "eeprom/vpd_report.h"

namespace {

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
    const json_value& id = member(state, "identity");
    if (!id.is_object())
        return "-";
    return text_of(member(id, "pn")) + "/" + text_of(member(id, "sn")) + "/" + text_of(member(id, "mac"));
}

// What stands at a path in place of a regular file, by its mode.
std::string not_regular(mode_t mode) { return std::string(file_kind_of(mode)) + " is in its place, not a regular file"; }

// What stands at path when that is no regular file; none when nothing does
// or a regular file does.
std::optional<std::string> not_regular_at(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return not_regular(st.st_mode);
    return std::nullopt;
}

// The shapes of the values a record's readers look at.
enum class shape { text, integer, count, flag, texts, object };

// A key of a record, and of an object its members'; a list ends with an
// empty rule.
struct field_rule {
    const char* key = nullptr;
    shape is = shape::text;
    const field_rule* members = nullptr;
};

constexpr field_rule k_identity_rules[] = {{"pn"}, {"sn"}, {"mac"}, {}};
constexpr field_rule k_state_rules[] = {{"sha256"},
                                        {"identity", shape::object, k_identity_rules},
                                        {"good_copies", shape::count},
                                        {"copies", shape::count},
                                        {}};
constexpr field_rule k_image_rules[] = {{"path"}, {"sha256"}, {"digest"}, {}};
constexpr field_rule k_user_rules[] = {{"uid", shape::integer}, {"name"}, {}};
constexpr field_rule k_record_rules[] = {{"schema", shape::integer},
                                         {"id"},
                                         {"host"},
                                         {"adapter"},
                                         {"vendor_id"},
                                         {"device_id"},
                                         {"command"},
                                         {"words", shape::texts},
                                         {"started"},
                                         {"ended"},
                                         {"outcome"},
                                         {"status", shape::integer},
                                         {"signal"},
                                         {"error"},
                                         {"image", shape::object, k_image_rules},
                                         {"forced", shape::flag},
                                         {"before", shape::object, k_state_rules},
                                         {"after", shape::object, k_state_rules},
                                         {"words_written", shape::count},
                                         {"backup"},
                                         {"version"},
                                         {"user", shape::object, k_user_rules},
                                         {}};

bool fits(const json_value& v, shape is) {
    switch (is) {
    case shape::text:
        return v.is_string();
    case shape::integer:
        return v.is_number_integer();
    case shape::count:
        return v.is_number_unsigned();
    case shape::flag:
        return v.is_boolean();
    case shape::texts:
        return v.is_array() && std::all_of(v.begin(), v.end(), [](const json_value& w) { return w.is_string(); });
    case shape::object:
        return v.is_object();
    }
    return false;
}

const char* shape_name(shape is) {
    switch (is) {
    case shape::text:
        return "a string";
    case shape::integer:
        return "an integer";
    case shape::count:
        return "a whole number of 0 or more";
    case shape::flag:
        return "true or false";
    case shape::texts:
        return "an array of strings";
    case shape::object:
        break;
    }
    return "an object";
}

// The first key of v under rules that holds a value of the wrong shape, as
// "before.identity is not an object"; empty when there is none.  A key
// that is missing or null is shown as unknown, and is no fault.
std::string fault_in(const json_value& v, const field_rule* rules, const std::string& prefix) {
    for (const field_rule* f = rules; f->key; ++f) {
        const json_value& x = member(v, f->key);
        if (x.is_null())
            continue;
        const std::string name = prefix + f->key;
        if (!fits(x, f->is))
            return name + " is not " + shape_name(f->is);
        if (f->members) {
            const std::string inner = fault_in(x, f->members, name + ".");
            if (!inner.empty())
                return inner;
        }
    }
    return "";
}

}  // namespace

json_value eeprom_state_json(const std::vector<uint8_t>& eeprom) {
    const board_identity id = identity_of_copy(&eeprom[BOARD_DETAILS_ADDR]);
    const vpd_report r = make_vpd_report(&eeprom[VPD_AREA_START], VPD_COPIES_IN_IMAGE, VPD_AREA_START);
    const auto field = identity_value;
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
    auto warning = [&](const char* step, const std::string& why) {
        return strprintf("romwright: warning: the history record was not written to %s (%s: %s); the command's "
                         "result stands as reported\n",
                         path.c_str(), step, why.c_str());
    };
    const std::string folder = folder_of(path);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return warning("mkdir", std::strerror(errno));
    // Never blocks: a FIFO without a reader fails at once (ENXIO), one with
    // a reader, or a device, is refused below.
    unique_fd f(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (f.fd < 0) {
        const int e = errno;
        return warning("open", not_regular_at(path).value_or(std::strerror(e)));
    }
    struct stat st;
    if (::fstat(f.fd, &st) != 0)
        return warning("fstat", std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return warning("open", not_regular(st.st_mode));
    const std::string line = record.dump(-1, ' ', false, json_value::error_handler_t::replace) + "\n";
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(f.fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return warning("write", std::strerror(n < 0 ? errno : EIO));
        done += static_cast<size_t>(n);
    }
    if (::fsync(f.fd) != 0)
        return warning("fsync", std::strerror(errno));
    return "";
}

std::optional<json_value> interrupted_record(const std::string& path, const journal_record& j,
                                             const pci_function& fn) {
    if (!j.recorded.empty())
        return std::nullopt;  // the run that left it recorded how it ended
    // One record per journal, keyed by its id; a journal of an older
    // version has none and is keyed by its adapter and second.  A history
    // that cannot be read is searched no further: the append says why.
    const std::string id = j.id.empty()
                               ? strprintf("interrupted-%s-%lld", j.adapter.c_str(), static_cast<long long>(j.time))
                               : "interrupted-" + j.id;
    for (const json_value& r : read_history(path).records)
        if (text_of(member(r, "id")) == id)
            return std::nullopt;
    json_value rec = history_record_base();
    rec["id"] = id;
    rec["adapter"] = j.adapter;
    rec["vendor_id"] = strprintf("0x%04x", fn.vendor_id);
    rec["device_id"] = strprintf("0x%04x", fn.device_id);
    rec["command"] = j.command.substr(0, j.command.find(' '));
    json_value words = json_value::array();
    for (const std::string& w : j.words)
        words.push_back(w);
    // An older journal keeps only the command as one text.
    for (size_t at = 0, end; j.words.empty() && at < j.command.size(); at = end + 1) {
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
    rec["signal"] = nullptr;
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
    auto fail = [&](const std::string& why) {
        out.error = strprintf("the history file %s cannot be read: %s", path.c_str(), why.c_str());
        out.records.clear();
        out.warnings.clear();
        return out;
    };
    unique_fd f(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (f.fd < 0 && errno == ENOENT)
        return out;
    out.exists = true;
    if (f.fd < 0) {
        const int e = errno;
        return fail(not_regular_at(path).value_or(std::string("open: ") + std::strerror(e)));
    }
    struct stat st;
    if (::fstat(f.fd, &st) != 0)
        return fail(std::string("fstat: ") + std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return fail(not_regular(st.st_mode));

    std::string line;
    bool overlong = false;  // the line went past the bound: the rest of it is passed over
    int n = 1;
    auto take = [&] {
        std::string warning;
        json_value r;
        if (overlong) {
            warning = strprintf("longer than %zu bytes, not a history record", HISTORY_LINE_MAX);
        } else if (!line.empty()) {
            r = json_value::parse(line, nullptr, false);
            if (r.is_discarded() || !member(r, "adapter").is_string())
                warning = "not a history record";
            else if (const std::string fault = fault_in(r, k_record_rules, ""); !fault.empty())
                warning = "a damaged history record (" + fault + ")";
            else
                out.records.push_back(std::move(r));
        }
        if (!warning.empty())
            out.warnings.push_back(
                strprintf("romwright: warning: %s, line %d: %s; skipped\n", path.c_str(), n, warning.c_str()));
        line.clear();
        overlong = false;
        ++n;
    };
    std::vector<char> buf(64 * 1024);
    for (;;) {
        const ssize_t got = ::read(f.fd, buf.data(), buf.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return fail(std::string("read: ") + std::strerror(errno));
        if (got == 0)
            break;
        const char* at = buf.data();
        const char* const end = at + got;
        while (at < end) {
            const char* nl = static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)));
            const char* stop = nl ? nl : end;
            const size_t len = static_cast<size_t>(stop - at);
            if (!overlong && line.size() + len > HISTORY_LINE_MAX) {
                overlong = true;
                std::string().swap(line);
            }
            if (!overlong)
                line.append(at, len);
            if (!nl)
                break;
            take();
            at = nl + 1;
        }
    }
    if (overlong || !line.empty())
        take();
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
                            "outcome", "status", "signal", "error", "forced", "words_written", "backup", "version"}) {
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
                     written.is_number_unsigned() ? std::to_string(written.get<uint64_t>()).c_str() : "-",
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
