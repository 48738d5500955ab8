// Journals of changes in progress.
#include "eeprom/journal.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <nlohmann/json.hpp>

#include "adapter/pci_address.h"
#include "common/error.h"
#include "common/escaping.h"
#include "common/replace_file.h"
#include "common/unique_fd.h"
#include "eeprom/private_files.h"

namespace {

using json = nlohmann::ordered_json;

void sync_dir(const std::string& dir) {
    unique_fd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.fd >= 0)
        fsync(d.fd);
}

// The adapter a journal names, when it is a function of fn's device as this
// program writes it; otherwise fn's own address.
std::string recorded_adapter(const std::string& text, const pci_function& fn) {
    const std::string own = function_address(fn);
    const bool same_device = text.size() == own.size() && text.compare(0, own.size() - 1, own, 0, own.size() - 1) == 0;
    const char last = text.empty() ? 0 : text.back();
    return same_device && last >= '0' && last <= '7' ? text : own;
}

// The journal's text as written.
std::string journal_text(const json& doc) { return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n"; }

// Puts text in place of the journal at path through the one door for
// files written (its folder checked by the caller).  Throws failure(1) of
// reason why: the path, the step that failed ("rename") and its errno, or
// no step when something other than a plain file stands there.
void put_journal(const std::string& path, const std::string& text, reason why) {
    try {
        replace_file(path, "the journal", text.data(), text.size(), 0600, {});
    } catch (const failure& f) {
        throw failure(error_kind::failed, why)
            .with("path", path)
            .with("step", f.details().text("step"))
            .with("errno", f.details().number("errno"));
    }
}

}  // namespace

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

std::string journal_path(const site& where, const pci_function& fn) {
    const std::string& dir = where.journal_dir;
    if (dir.empty())
        return dir;
    return dir + "/romwright-" + slot_address(fn) + ".journal";
}

std::string utc_time_text(int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    struct tm tm;
    char text[64] = "";
    if (static_cast<int64_t>(t) != seconds || !gmtime_r(&t, &tm) ||
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm) == 0)
        return "";
    return text;
}

std::optional<int64_t> utc_seconds(const std::string& text) {
    struct tm tm = {};
    char z = 0;
    int end = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &tm.tm_sec, &z, &end) != 7 ||
        z != 'Z' || static_cast<size_t>(end) != text.size())
        return std::nullopt;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    const std::time_t t = timegm(&tm);
    if (t == static_cast<std::time_t>(-1) || utc_time_text(t) != text)
        return std::nullopt;  // out of range, or a date that does not exist
    return static_cast<int64_t>(t);
}

std::string restore_command(const std::string& address, const std::string& backup) {
    return "romwright -b " + address + " restore " + shell_quoted(backup);
}

std::optional<journal_record> read_journal(const site& where, const pci_function& fn) {
    const std::string path = journal_path(where, fn);
    if (path.empty() || !check_private_folder(folder_of(path), "journal folder"))
        return std::nullopt;
    const std::optional<std::vector<uint8_t>> bytes = read_private_file(path, "journal", JOURNAL_MAX_BYTES);
    if (!bytes)
        return std::nullopt;
    journal_record r;
    r.adapter = function_address(fn);
    r.command = "an unknown command";
    const json doc = json::parse(bytes->begin(), bytes->end(), nullptr, false);
    if (doc.is_object()) {
        auto get = [&](const char* key, std::string& out) {
            if (doc.contains(key) && doc[key].is_string())
                out = doc[key].get<std::string>();
        };
        get("id", r.id);
        get("adapter", r.adapter);
        get("command", r.command);
        if (doc.contains("words") && doc["words"].is_array()) {
            for (const json& w : doc["words"])
                if (w.is_string())
                    r.words.push_back(w.get<std::string>());
            if (r.words.size() != doc["words"].size())
                r.words.clear();  // not the words of a command line
        }
        get("image", r.image);
        get("image_sha256", r.image_sha256);
        get("backup", r.backup);
        get("backup_sha256", r.backup_sha256);
        get("before_sha256", r.before_sha256);
        get("after_sha256", r.after_sha256);
        get("recorded", r.recorded);
        if (doc.contains("time") && doc["time"].is_number_integer())
            r.time = doc["time"].get<int64_t>();
    }
    r.adapter = recorded_adapter(r.adapter, fn);
    return r;
}

void mark_journal_recorded(const site& where, const pci_function& fn, const std::string& journal_id,
                           const std::string& record_id) {
    const std::string path = journal_path(where, fn);
    if (path.empty() || !check_private_folder(folder_of(path), "journal folder"))
        return;
    const std::optional<std::vector<uint8_t>> bytes = read_private_file(path, "journal", JOURNAL_MAX_BYTES);
    if (!bytes)
        return;
    json doc = json::parse(bytes->begin(), bytes->end(), nullptr, false);
    if (!doc.is_object())
        return;  // nothing can be noted in it: the history is searched for its record instead
    const std::string id = doc.contains("id") && doc["id"].is_string() ? doc["id"].get<std::string>() : "";
    if (id != journal_id)
        return;
    doc["recorded"] = record_id;
    put_journal(path, journal_text(doc), reason::journal_not_marked);
}

void remove_journal(const site& where, const pci_function& fn, observer& obs) {
    const std::string path = journal_path(where, fn);
    if (path.empty())
        return;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        obs.notify({notice_kind::journal_not_removed, fact_list().add("path", path).add("errno", int64_t{errno})});
    else
        sync_dir(folder_of(path));
}

void journal_guard::begin(const journal_record& r) {
    if (standing_)
        return;  // the earlier record says more: the state before it is the one to go back to
    const std::string path = journal_path(where_, fn_);
    if (path.empty())
        return;
    const std::string dir = folder_of(path);
    make_private_folder(dir, "journal folder");
    const json doc = {{"id", r.id},
                      {"adapter", r.adapter},
                      {"command", r.command},
                      {"words", r.words},
                      {"image", r.image},
                      {"image_sha256", r.image_sha256},
                      {"backup", r.backup},
                      {"backup_sha256", r.backup_sha256},
                      {"before_sha256", r.before_sha256},
                      {"after_sha256", r.after_sha256},
                      {"time", r.time}};
    put_journal(path, journal_text(doc), reason::journal_write_failed);
    written_ = true;
}

journal_guard::~journal_guard() {
    const bool keep = changed_ && !finished_;
    const bool remove_own = written_ && !keep;
    const bool remove_standing = standing_ && finished_ && clears_;
    if (remove_own || remove_standing)
        remove_journal(where_, fn_, obs_);
}
