// Backups of the whole EEPROM.
#include "eeprom/backup.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <ctime>

#include "common/error.h"
#include "common/escaping.h"
#include "common/observer.h"
#include "common/paths.h"
#include "common/replace_file.h"
#include "common/unique_fd.h"
#include "eeprom/copy_identity.h"
#include "eeprom/journal.h"
#include "eeprom/private_files.h"
#include "eeprom/vpd.h"

namespace {

std::string address_part(const pci_function& fn) {
    return strprintf("%04x-%02x-%02x.%x", fn.domain, fn.bus, fn.dev, fn.func);
}

bool is_alnum(uint8_t c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The serial number a strict majority of the good VPD copies holds, when it
// is letters and digits (trailing blanks dropped): a damaged copy at 0x0800
// does not name the backup.
std::string serial_part(const uint8_t* eeprom) {
    const std::optional<board_identity> id = majority_identity(eeprom);
    if (!id)
        return "no-serial";
    const std::string& s = id->serial_number;
    size_t n = s.size();
    while (n > 0 && s[n - 1] == ' ')
        --n;
    if (n == 0)
        return "no-serial";
    for (size_t i = 0; i < n; ++i)
        if (!is_alnum(static_cast<uint8_t>(s[i])))
            return "no-serial";
    return s.substr(0, n);
}

[[noreturn]] void cannot_save(reason why, const std::string& path, int err = 0) {
    failure f(error_kind::failed, why);
    f.with("path", path);
    if (why == reason::backup_folder_create)
        f.with("errno", int64_t{err});
    throw f;
}

// Creates dir and its missing parents, each with mode 0700.
void make_dirs(const std::string& dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode))
            cannot_save(reason::backup_folder_not_folder, dir);
        return;
    }
    const std::string parent = folder_of(dir);
    if (parent != dir && parent != "." && parent != "/")
        make_dirs(parent);
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        cannot_save(reason::backup_folder_create, dir, errno);
}

// Makes path, read-only, holding bytes, through the one door for files
// written; false when path exists; throws for every other failure.
bool write_new_file(const std::string& path, const uint8_t* bytes, size_t size) {
    try {
        return create_file(path, "the backup", bytes, size, 0400);
    } catch (const failure& f) {
        throw failure(error_kind::failed, reason::backup_write_failed).with("path", path).caused_by(f);
    }
}

// Orders the backups of one adapter: by the time in their name, then by
// the number a later backup of the same second carries ("-2", "-3", ...).
struct backup_key {
    std::string stamp;
    unsigned seq = 0;
    bool operator<(const backup_key& o) const { return stamp != o.stamp ? stamp < o.stamp : seq < o.seq; }
};

bool parse_backup_name(const std::string& name, const std::string& prefix, backup_key* key) {
    const std::string ext = ".bin";
    if (name.size() <= prefix.size() + ext.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - ext.size(), ext.size(), ext) != 0)
        return false;
    std::string rest = name.substr(0, name.size() - ext.size());
    const size_t us = rest.rfind('_');
    if (us == std::string::npos || us < prefix.size() - 1)
        return false;
    rest = rest.substr(us + 1);
    key->seq = 1;
    const size_t dash = rest.find('-');
    if (dash != std::string::npos) {
        key->seq = static_cast<unsigned>(std::strtoul(rest.c_str() + dash + 1, nullptr, 10));
        rest.resize(dash);
    }
    key->stamp = rest;
    return !rest.empty();
}

// The newest backup of the adapter in dir, or "".
std::string newest_backup(const std::string& dir, const std::string& prefix) {
    std::string best;
    backup_key best_key;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return best;
    while (struct dirent* e = readdir(d)) {
        backup_key k;
        // A backup of a half-written EEPROM is never the one to go back to.
        if (std::strstr(e->d_name, "_interrupted") == nullptr && parse_backup_name(e->d_name, prefix, &k) &&
            (best.empty() || best_key < k)) {
            best = e->d_name;
            best_key = k;
        }
    }
    closedir(d);
    return best;
}

// Read as every file in the backup folder is: no link followed, a plain
// file of this user, no larger than a backup.
bool file_holds(const std::string& path, const uint8_t* bytes, size_t size) {
    const std::optional<std::vector<uint8_t>> data = read_private_file(path, "backup", size);
    return data && data->size() == size && std::memcmp(data->data(), bytes, size) == 0;
}

}  // namespace

std::string backup_file_name(const pci_function& fn, const uint8_t* eeprom, int64_t utc_seconds) {
    const std::time_t t = static_cast<std::time_t>(utc_seconds);
    struct tm tm;
    char stamp[32] = "";
    if (gmtime_r(&t, &tm))
        std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
    return address_part(fn) + "_" + serial_part(eeprom) + "_" + stamp + ".bin";
}

void check_backup_file(const change_options& opts) {
    if (opts.no_backup || opts.backup_file.empty())
        return;
    // The backup's name goes into the journal and the restore command a
    // later run prints: it must be safe to show and to paste.
    for (const char c : opts.backup_file)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            throw failure(error_kind::failed, reason::backup_name_control).with("path", opts.backup_file);
    struct stat st;
    if (lstat(opts.backup_file.c_str(), &st) == 0)
        throw failure(error_kind::failed, reason::backup_file_exists).with("path", opts.backup_file);
}

backup_plan plan_backup(const site& where, const uint8_t* eeprom, const pci_function& fn, const change_options& opts,
                        bool interrupted, int64_t utc_seconds) {
    backup_plan b;
    if (opts.no_backup)
        return b;
    if (!opts.backup_file.empty()) {
        b.path = opts.backup_file;
        return b;
    }
    const std::string& dir = where.backup_dir;
    if (dir.empty())
        return b;
    make_dirs(dir);
    check_private_folder(dir, "backup folder");
    const std::string prefix = address_part(fn) + "_";
    const std::string newest = newest_backup(dir, prefix);
    if (!newest.empty() && file_holds(dir + "/" + newest, eeprom, SEEPROM_SIZE)) {
        b.path = dir + "/" + newest;
        b.exists = true;
        return b;
    }
    std::string name = backup_file_name(fn, eeprom, utc_seconds);
    name.resize(name.size() - 4);  // ".bin"
    if (interrupted)
        name += "_interrupted";
    const std::string base = dir + "/" + name;
    for (unsigned seq = 1; seq < 1000; ++seq) {
        const std::string path = seq == 1 ? base + ".bin" : base + strprintf("-%u.bin", seq);
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            b.path = path;
            return b;
        }
    }
    cannot_save(reason::backup_too_many, base + ".bin");
}

void write_backup(const backup_plan& b, const uint8_t* eeprom, observer& obs) {
    if (b.path.empty())
        return;
    if (b.exists) {
        obs.notify({notice_kind::backup_kept, fact_list().add("path", b.path)});
        return;
    }
    if (!write_new_file(b.path, eeprom, SEEPROM_SIZE))
        cannot_save(reason::backup_exists_now, b.path);
    obs.notify({notice_kind::backup_saved, fact_list().add("path", b.path)});
}

std::string absolute_path(const std::string& path) {
    if (path.empty() || path[0] == '/')
        return path;
    char* dir = realpath(folder_of(path).c_str(), nullptr);
    if (!dir)
        return path;
    std::string out = std::string(dir) + "/" + path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    std::free(dir);
    return out;
}
