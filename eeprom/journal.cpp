// Journals of changes in progress.
#include "eeprom/journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include <nlohmann/json.hpp>

#include "common/error.h"
#include "common/unique_fd.h"

namespace {

using json = nlohmann::ordered_json;

std::string journal_path(const site& where, const pci_function& fn) {
    const std::string& dir = where.journal_dir;
    if (dir.empty())
        return dir;
    return strprintf("%s/romwright-%04x:%02x:%02x.journal", dir.c_str(), fn.domain, fn.bus, fn.dev);
}

std::string dir_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Creates dir and its missing parents with mode 0700.
bool make_dirs(const std::string& dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    const std::string parent = dir_of(dir);
    if (parent != dir && parent != "." && parent != "/" && !make_dirs(parent))
        return false;
    return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

void sync_dir(const std::string& dir) {
    unique_fd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.fd >= 0)
        fsync(d.fd);
}

}  // namespace

std::string utc_time_text(int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    struct tm tm;
    char text[32] = "an unknown time";
    if (gmtime_r(&t, &tm))
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::optional<journal_record> read_journal(const site& where, const pci_function& fn) {
    const std::string path = journal_path(where, fn);
    if (path.empty())
        return std::nullopt;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return std::nullopt;
    std::string text;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        text.append(buf, n);
    std::fclose(f);
    journal_record r;
    r.adapter = function_address(fn);
    r.command = "an unknown command";
    const json doc = json::parse(text, nullptr, false);
    if (doc.is_object()) {
        auto get = [&](const char* key, std::string& out) {
            if (doc.contains(key) && doc[key].is_string())
                out = doc[key].get<std::string>();
        };
        get("adapter", r.adapter);
        get("command", r.command);
        get("image", r.image);
        get("image_sha256", r.image_sha256);
        get("backup", r.backup);
        if (doc.contains("time") && doc["time"].is_number_integer())
            r.time = doc["time"].get<int64_t>();
    }
    return r;
}

std::string interrupted_note(const journal_record& r, const std::string& address) {
    std::string note = strprintf("romwright: WARNING: the EEPROM of %s may be half-written: `%s`, begun %s, did not "
                                 "finish.\n",
                                 address.c_str(), r.command.c_str(),
                                 r.time ? utc_time_text(r.time).c_str() : "at an unknown time");
    if (!r.backup.empty())
        note += strprintf("romwright: to put back what the EEPROM held before it: romwright -b %s restore %s\n",
                          address.c_str(), r.backup.c_str());
    else
        note += "romwright: that run kept no backup; restore a saved image of this board with: romwright -b " +
                address + " restore FILE\n";
    return note;
}

void journal_guard::begin(const journal_record& r) {
    if (standing_)
        return;  // the earlier record says more: the state before it is the one to go back to
    const std::string path = journal_path(where_, fn_);
    if (path.empty())
        return;
    const std::string dir = dir_of(path);
    auto cannot = [&](const char* what) {
        throw failure(error_kind::failed,
                      strprintf("ERROR: cannot write the journal %s (%s: %s); nothing was changed\n", path.c_str(),
                                what, std::strerror(errno)));
    };
    if (!make_dirs(dir))
        cannot("cannot create its folder");
    const json doc = {{"adapter", r.adapter},   {"command", r.command}, {"image", r.image},
                      {"image_sha256", r.image_sha256}, {"backup", r.backup}, {"time", r.time}};
    const std::string text = doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    std::string tmp = path + ".XXXXXX";
    unique_fd f(mkstemp(&tmp[0]));
    if (f.fd < 0)
        cannot("cannot create it");
    bool ok = ::write(f.fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(f.fd) == 0;
    ok = ::close(f.release()) == 0 && ok;
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        const int e = errno;
        ::unlink(tmp.c_str());
        errno = e;
        cannot("cannot write it");
    }
    sync_dir(dir);
    written_ = true;
}

journal_guard::~journal_guard() {
    const bool keep = changed_ && !finished_;
    const bool remove_own = written_ && !keep;
    const bool remove_standing = standing_ && finished_ && clears_;
    if (!remove_own && !remove_standing)
        return;
    const std::string path = journal_path(where_, fn_);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        obs_.note(strprintf("romwright: cannot remove the journal %s: %s\n", path.c_str(), std::strerror(errno)));
    else
        sync_dir(dir_of(path));
}
